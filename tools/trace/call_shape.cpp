#include "call_shape.h"

#include "winsock_names.h"

namespace nqtrace {
namespace {

struct Shape {
  std::string_view name;
  int socket;
  int address;
};

// The calls that act on one socket, by the place of their arguments. The
// data calls name no address but the datagram calls' destination or
// source; the address of sendmsg and the mmsg calls is their message's.
constexpr Shape kShapes[] = {
    {"accept", 0, 1},        {"bind", 0, 1},        {"closesocket", 0, -1},
    {"connect", 0, 1},       {"getpeername", 0, 1}, {"getsockname", 0, 1},
    {"listen", 0, -1},       {"shutdown", 0, -1},   {"recv", 0, -1},
    {"send", 0, -1},         {"recvfrom", 0, 4},    {"sendto", 0, 4},
    {"read", 0, -1},         {"write", 0, -1},      {"readv", 0, -1},
    {"writev", 0, -1},       {"sendmsg", 0, 2},     {"recvmsg", 0, 2},
    {"sendmmsg", 0, 2},      {"recvmmsg", 0, 2},    {"sendfile", 0, -1},
    {"splice", 2, -1},       {"WSAAccept", 0, 1},   {"WSAConnect", 0, 1},
    {"WSASend", 0, -1},      {"WSARecv", 0, -1},    {"WSASendTo", 0, 5},
    {"WSARecvFrom", 0, 5},   {"WSASendMsg", 0, -1}, {"WSARecvMsg", 0, -1},
    {"AcceptEx", 0, -1},     {"ConnectEx", 0, 1},   {"DisconnectEx", 0, -1},
    {"TransmitFile", 0, -1},
};

// The same for TransmitPackets, and for the calls that connect by name or
// by a list of addresses, which write the remote end after the local one.
constexpr Shape kMoreShapes[] = {
    {"TransmitPackets", 0, -1},
    {"WSAConnectByNameA", 0, 4},
    {"WSAConnectByNameW", 0, 4},
    {"WSAConnectByList", 0, 3},
};

}  // namespace

CallShape ShapeOf(std::string_view function, const CallArgs &args) {
  CallShape shape;
  Completion done;
  if (ParseCompletion(function, args, done)) {
    shape.socket = 0;
    shape.direction = done.direction;
    return shape;
  }
  for (const Shape &s : kShapes) {
    if (s.name != function) continue;
    shape.socket = s.socket;
    shape.address = s.address;
    shape.direction = DataDirection(function);
    break;
  }
  for (const Shape &s : kMoreShapes) {
    if (s.name != function) continue;
    shape = CallShape{s.socket, s.address, DataDirection(function)};
  }
  return shape;
}

bool IsPending(const ParsedLine &line) {
  return line.tag == Tag::Warning && line.has_code && line.code == kIoPending;
}

bool ParseCompletion(std::string_view function, const CallArgs &args,
                     Completion &out) {
  if (!IsCompletion(function) || args.count < 3 ||
      !ParseInteger(args.items[0], out.socket))
    return false;
  out.overlapped = args.items[1];
  out.operation = args.items[2];
  out.direction = DataDirection(out.operation);
  out.accepted = out.operation == "AcceptEx" && args.count > 3 &&
                 ParseInteger(args.items[3], out.accepted_socket);
  if (out.accepted && args.count > 5) {
    out.local = ParseAddress(args.items[4]);
    out.peer = ParseAddress(args.items[5]);
  }
  // A receive from any peer names the one its datagram came from.
  if (out.operation == "WSARecvFrom" && args.count > 3)
    out.peer = ParseAddress(args.items[3]);
  return IsTracedFunction(out.operation) && !IsCompletion(out.operation);
}

}  // namespace nqtrace
