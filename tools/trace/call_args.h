// The arguments of a traced call line, read as the tracer prints them:
// integers in signed decimal, pointers as 0x-hex, and socket addresses in
// one of these texts:
//
//   a.b.c.d:port         IPv4 (every address of the Windows builds)
//   [v6]:port            IPv6, v6 as RFC 5952 text (any valid IPv6 text is
//   [v6%scope]:port      read), the scope id in decimal when it is set
//   "path"               AF_UNIX: the path's bytes up to its first NUL or
//                        its length, the bytes 0x00-0x1F, 0x22 (") and 0x7F
//                        as \xHH; a Linux abstract name as "@name" (its
//                        leading NUL shown as @), an unnamed socket as ""
//   <family N>           any other family, N its number in decimal
//   <N bytes>            a length too short to hold the address
//   NULL                 no address passed
//
// A socket number (an argument, or the result of a call that makes one) may
// carry a label right after it, with no space: 7<TCP:[1.2.3.4:5->6.7.8.9:80]>
// or 9<TCP> (the type alone). A label ends at its first "]>" when it holds
// a "[", else at its first ">".
#ifndef NQ_TOOLS_TRACE_CALL_ARGS_H
#define NQ_TOOLS_TRACE_CALL_ARGS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nqtrace {

constexpr std::size_t kMaxArgs = 10;  // the most any traced call has is 9

struct CallArgs {
  std::string_view items[kMaxArgs];   // a labelled socket: its number alone
  std::string_view labels[kMaxArgs];  // its label without the angle
                                      // brackets, empty when there is none
  std::size_t count = 0;
};

// Splits the text between a call's parentheses at ", " outside double
// quotes, square brackets (a list such as [3, 4] is one argument) and socket
// labels. An argument that is a labelled socket number gives its number as
// the item and its label apart. False when there are more than kMaxArgs
// arguments.
bool SplitArgs(std::string_view args, CallArgs &out);

// The length of the socket label starting at text[0] ('<'), angle brackets
// included; 0 when there is no whole label there.
std::size_t SocketLabelLength(std::string_view text);

// "7<TCP:[...]>" as its number "7" and its label "TCP:[...]"; any text
// that is not a signed integer and a '<' as itself and an empty label.
// False when a label after an integer is not the whole rest of the text.
bool SplitSocketLabel(std::string_view text, std::string_view &number,
                      std::string_view &label);

enum class AddressForm {
  Ipv4,    // a.b.c.d:port
  Ipv6,    // [v6]:port or [v6%scope]:port
  Unix,    // "path"
  Family,  // <family N>
  Null,    // NULL: no address passed
  Short,   // <N bytes>: a length too short to hold an address
  Bad,     // none of these: a damaged line
};

struct Address {
  AddressForm form = AddressForm::Bad;
  std::uint32_t ip = 0;       // a.b.c.d as a << 24 | b << 16 | c << 8 | d
  std::uint8_t ip6[16] = {};  // Ipv6: in network order
  std::uint32_t scope = 0;    // Ipv6: the %N, 0 when none
  std::uint16_t port = 0;
  std::int32_t length = 0;   // Short only: the N of <N bytes>
  std::uint32_t family = 0;  // Family only: the N of <family N>
  std::string_view path;     // Unix only: the text between the quotes
};

// The text of an IPv6 address (without brackets, scope or port) as its 16
// bytes. Accepts every form RFC 4291 allows, "::" and a final dotted quad
// included.
bool ParseIpv6(std::string_view text, std::uint8_t (&out)[16]);

Address ParseAddress(std::string_view text);

// "<N bytes>" with N in signed decimal: the place of an address whose given
// length is too short to read it from. False for any other text.
bool ParseShortAddress(std::string_view text, std::int32_t &length);

// A signed decimal integer that fits 63 bits and a sign.
bool ParseInteger(std::string_view text, std::int64_t &value);

// A receive with MSG_PEEK (2, on every system that traces) in its flags,
// the fourth argument of recv, recvfrom, recvmsg and recvmmsg: its bytes
// stay queued, and the next receive moves them.
bool PeeksOnly(std::string_view function, const CallArgs &args);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_CALL_ARGS_H
