#include "call_shape.h"

#include "netquill_calls.h"
#include "winsock_names.h"

namespace nqtrace {
namespace {

struct Shape {
  std::string_view name;
  int socket;
  int address;
};

// The list's shapes, by name; few enough to search one by one.
#define NQ_SHAPE(name, socket, address) {#name, socket, address},
constexpr Shape kShapes[] = {NQ_CALL_SHAPES(NQ_SHAPE)};
#undef NQ_SHAPE

}  // namespace

CallShape ShapeOf(std::string_view function, const CallArgs &args) {
  CallShape shape;
  Completion done;
  if (ParseCompletion(function, args, done)) {
    shape.socket = 0;
    shape.direction = done.direction;
    return shape;
  }
  for (const Shape &s : kShapes)
    if (s.name == function)
      return CallShape{s.socket, s.address, DataDirection(function)};
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
