// The arguments of a traced call line, read as the tracer prints them:
// integers in signed decimal, pointers as 0x-hex, socket addresses as
// a.b.c.d:port, NULL, or <N bytes> for an address too short to read.
#ifndef NQ_TOOLS_TRACE_CALL_ARGS_H
#define NQ_TOOLS_TRACE_CALL_ARGS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nqtrace {

constexpr std::size_t kMaxArgs = 8;  // the most any traced call has is 6

struct CallArgs {
  std::string_view items[kMaxArgs];
  std::size_t count = 0;
};

// Splits the text between a call's parentheses at ", " outside double
// quotes. False when there are more than kMaxArgs arguments.
bool SplitArgs(std::string_view args, CallArgs &out);

enum class AddressForm {
  Ipv4,   // a.b.c.d:port
  Null,   // NULL: no address passed
  Short,  // <N bytes>: a length too short to hold an address
  Bad,    // none of these: a damaged line
};

struct Address {
  AddressForm form = AddressForm::Bad;
  std::uint32_t ip = 0;  // a.b.c.d as a << 24 | b << 16 | c << 8 | d
  std::uint16_t port = 0;
  std::int32_t length = 0;  // Short only: the N of <N bytes>
};

Address ParseAddress(std::string_view text);

// "<N bytes>" with N in signed decimal: the place of an address whose given
// length is too short to read it from. False for any other text.
bool ParseShortAddress(std::string_view text, std::int32_t &length);

// A signed decimal integer that fits 63 bits and a sign.
bool ParseInteger(std::string_view text, std::int64_t &value);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_CALL_ARGS_H
