// The lines of a TLS library's calls and secrets, read back:
//
//   SSL_write(5, 0x55d0c8a1b2c0, 78) returned 78           plaintext sent
//   SSL_read_ex(5, 0x7ffd5a10, 16384, [120]) returned 1     120 bytes read
//   TLS key log: CLIENT_RANDOM 1f2e... 8a9b...              a note record
//
// The first argument is the socket the session runs on; a _ex or
// early-data call gives what it moved in brackets, the others in their
// result.
#ifndef NQ_TOOLS_TRACE_TLS_LINE_H
#define NQ_TOOLS_TRACE_TLS_LINE_H

#include <cstdint>
#include <string_view>

#include "line_parser.h"

namespace nqtrace {

// The plaintext bytes a TLS call line moved; false for a line of another
// call, a failed one, or one that moved none.
bool PlaintextCount(const ParsedLine &line, std::uint64_t &count);

// The key log line (NSS format) of a "TLS key log: " record's text; false
// for any other text.
bool TlsKeyLog(std::string_view text, std::string_view &keylog);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_TLS_LINE_H
