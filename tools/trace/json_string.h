// A JSON string from any bytes, shared by every tool that writes JSON.
// Valid UTF-8 passes as it is (U+2028 and U+2029 included: JSON allows
// them); quotes and backslashes are escaped; control characters (below
// 0x20, and DEL) and every byte that does not begin a valid UTF-8 sequence
// become \u00XX, the character Latin-1 gives that byte, so the output is
// always valid UTF-8 and prints cleanly whatever the trace holds.
#ifndef NQ_TOOLS_TRACE_JSON_STRING_H
#define NQ_TOOLS_TRACE_JSON_STRING_H

#include <cstddef>
#include <string>
#include <string_view>

namespace nqtrace {

// Appends "bytes" with its quotes, escaped as above.
void AppendJsonString(std::string &out, std::string_view bytes);

// The length of the valid UTF-8 sequence at the front of s, 0 if none
// (an overlong form, a surrogate, a code point above U+10FFFF, a cut or
// stray continuation byte).
std::size_t Utf8SequenceLength(std::string_view s);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_JSON_STRING_H
