// The name lookups that the POSIX library traces, read back:
//
//   getaddrinfo("localhost", "80") returned 0 (127.0.0.1:80, [::1]:80)
//   getaddrinfo("nx.invalid", NULL) returned -2            (WRN, [11001])
//   getnameinfo(127.0.0.1:80, 16, 0) returned 0 ("localhost", "http")
//
// Names are caller text: in double quotes, the bytes 0x00-0x1F and 0x7F
// written as \xHH, every other byte as it is; a null one is NULL.
#ifndef NQ_TOOLS_TRACE_LOOKUP_LINE_H
#define NQ_TOOLS_TRACE_LOOKUP_LINE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nqtrace {

struct Lookup {
  bool addrinfo = false;  // getaddrinfo, else getnameinfo
  std::string asked[2];   // node and service, or the address and
                          // its length; names unescaped
  bool asked_null[2] = {false, false};
  std::int64_t result = 0;           // 0, or the resolver's EAI code
  std::vector<std::string> answers;  // addresses, or host and service
};

// Reads a call line's text (after the tag, without its [code]). False for
// any other line, or a lookup line that does not have this form.
bool ParseLookup(std::string_view text, Lookup &out);

// Caller text with its \xHH escapes turned back into bytes.
std::string Unescape(std::string_view text);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_LOOKUP_LINE_H
