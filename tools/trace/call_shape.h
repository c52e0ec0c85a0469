// Where a traced call's socket and socket address stand among its
// arguments, and what the lines of overlapped calls say:
//
//   WSARecv(320, 0x6ff200, 1, 0x0, 0x6ff210, 0x6ff2a0, 0x0) returned -1
//       [997]                      pending: its bytes come with a completion
//   GetQueuedCompletionStatusEx(320, 0x6ff2a0, WSARecv) returned 5
//                                  the completion: the operation's socket,
//                                  its OVERLAPPED and name; the bytes moved,
//                                  or -1 and the code the program got
//   GetQueuedCompletionStatus(316, 0x6ff1a0, AcceptEx, 320, 127.0.0.1:7000,
//       127.0.0.1:51544) returned 0
//                                  AcceptEx's adds the accepted socket, its
//                                  local address and the peer's
#ifndef NQ_TOOLS_TRACE_CALL_SHAPE_H
#define NQ_TOOLS_TRACE_CALL_SHAPE_H

#include <cstdint>
#include <string_view>

#include "call_args.h"
#include "line_parser.h"

namespace nqtrace {

struct CallShape {
  int socket = -1;    // the argument that holds the socket acted on
  int address = -1;   // the argument that holds a socket address
  int direction = 0;  // 1 sends, -1 receives, 0 moves no data
};

// The shape of a call the tools follow sockets through (socket-making
// calls return theirs and have none here); a completion line's direction
// is its operation's.
CallShape ShapeOf(std::string_view function, const CallArgs &args);

// WSA_IO_PENDING: the call goes on in the background.
constexpr std::uint32_t kIoPending = 997;

// A warning whose code says the call is under way, not failed.
bool IsPending(const ParsedLine &line);

struct Completion {
  std::string_view operation;  // "WSARecv", "AcceptEx", ...
  std::int64_t socket = 0;     // the operation's socket
  std::string_view overlapped;
  int direction = 0;  // of the operation: 1 sent, -1 received, 0 none
  // AcceptEx only: the socket it accepted into and its two addresses
  // (AddressForm::Bad when the line has none); WSARecvFrom: the peer its
  // datagram came from.
  bool accepted = false;
  std::int64_t accepted_socket = 0;
  Address local, peer;
};

// A completion line's arguments; false for any other call, or a
// completion whose arguments do not have this form.
bool ParseCompletion(std::string_view function, const CallArgs &args,
                     Completion &out);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_CALL_SHAPE_H
