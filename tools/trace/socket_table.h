// The sockets of one trace file, keyed by module and handle: what each
// traced call does to its socket's conversation, and the sends and
// receives whose bytes the dump after them will bring. What follows from
// it goes to the tool through SocketEvents (socket_state.h).
#ifndef NQ_TOOLS_TRACE_SOCKET_TABLE_H
#define NQ_TOOLS_TRACE_SOCKET_TABLE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "call_args.h"
#include "call_shape.h"
#include "line_parser.h"
#include "socket_state.h"

namespace nqtrace {

// What the notes at the end report.
struct Tally {
  std::uint64_t left_out[static_cast<int>(LeftOut::kCount)] = {};
  std::uint64_t transfers = 0;     // successful sends/receives of bytes
  std::uint64_t placed_dumps = 0;  // dumps that found their call
  std::uint64_t undumped = 0;      // transfers whose bytes never came
  std::uint64_t undumped_bytes = 0;
  std::uint64_t undumped_calls = 0;  // splice: never dumped
  std::uint64_t undumped_call_bytes = 0;
  std::uint64_t unplaced_dumps = 0;  // dumps without their call line
  std::uint64_t damaged_dumps = 0;   // dumps with a damaged line
  std::uint64_t cut_dumps = 0;       // dumps cut by the trace's dump limit
  std::uint64_t cut_bytes = 0;       //   and the bytes they leave out
  std::uint64_t cut_datagrams = 0;   // of those, UDP datagrams left out
};

class SocketTable {
 public:
  SocketTable(SocketEvents &events, Tally &tally)
      : events_(events), tally_(tally) {}

  // A well-formed call line and the origin of its frames.
  void Call(const ParsedLine &line, const Origin &origin);

  // The bytes of a dump record (a run of lines with contiguous offsets)
  // whose lines are indented by indent; they go to the waiting transfer
  // of a module of that name length expecting them at offset, the one
  // with the fewest bytes still to come that holds them (the earliest of
  // equals). False if none waits for them.
  bool PlaceDump(std::size_t indent, std::uint64_t offset,
                 const std::uint8_t *bytes, std::size_t len);
  // The end of a dump cut short by the trace's dump limit: of the
  // transfer waiting at offset, the cut bytes that follow are not in the
  // trace: the events Skip them (a TCP stream goes on past them without
  // inventing any); a UDP datagram is left out of Datagram.
  void CutDump(std::size_t indent, std::uint64_t offset, std::uint64_t cut);
  // A dump record with a damaged line: its transfer is dropped whole.
  void DropDamagedDump(std::size_t indent, std::uint64_t offset);

  // The end of the file: waiting transfers will get no bytes, and every
  // socket is forgotten.
  void Finish();

  // The socket a module's handle names now; null when the table holds
  // none (never seen, or forgotten since its close).
  const SocketState *Find(std::string_view module, std::int64_t handle) const;

 private:
  using Key = std::pair<std::string, std::int64_t>;

  struct Transfer {
    Key key;
    bool outgoing = false;
    bool udp = false;
    bool open_ended = false;   // WSASend and the like that completed at
                               // once: what they moved is their dump
    bool discard = false;      // a peek: its bytes come again
    bool excluded = false;     // its socket is left out: Data, no frames
    Endpoint src, dst;         // UDP: the datagram's ends
    std::uint64_t total = 0;   // bytes the call moved
    std::uint64_t placed = 0;  // of those, already in frames
    std::uint64_t line = 0;    // origin of its frames
    std::uint64_t time_us = 0;
    std::string call;          // the call line's text, for frame comments
    std::uint32_t thread = 0;  //   and its thread
    std::vector<std::uint8_t> datagram;  // UDP: bytes until all are there,
                                         // at most one payload's worth
  };
  // Where a waiting transfer's next bytes fit: the dump's indentation,
  // their offset, the bytes still to come, and the order of the calls.
  using Place =
      std::tuple<std::size_t, std::uint64_t, std::uint64_t, std::uint64_t>;

  // One call line as Call read it, for the handlers of its kinds of call.
  struct CallLine {
    const ParsedLine &line;
    const CallArgs &args;
    CallShape shape;
    bool ok;       // it succeeded
    bool numeric;  // result holds what it returned
    std::int64_t result;
  };
  // socket and WSASocket: a new socket of a family and type.
  void SocketCreated(const ParsedLine &line, const CallArgs &args);
  // The calls on socket c that count whether or not they succeeded; false
  // for any other.
  bool CallOfAnyOutcome(const CallLine &call, const Origin &origin,
                        const Key &key, SocketState &c);
  // A successful call that connects, accepts or moves bytes; false for any
  // other.
  bool ConnectionOrDataCall(const CallLine &call, const Origin &at,
                            const Origin &origin, const Key &key,
                            SocketState &c);
  // A successful call that names an end of c, or ends what it carries.
  void StateCall(const CallLine &call, const Origin &origin, const Key &key,
                 SocketState &c);
  void ConnectedBy(const CallLine &call, const Origin &origin, SocketState &c);

  SocketState *Find(const Key &key);
  // The state of key, made (with a new id) when the table has none.
  SocketState &Entry(const Key &key);
  SocketState &Opened(const Key &key);
  // Starts c's conversation through the events; false when they cannot.
  bool Begin(SocketState &c, const Origin &origin, bool passive);
  void Forget(const Key &key);
  void Exclude(SocketState &c, LeftOut why);
  bool ExcludedBy(SocketState &c, const Address &a);
  void Learn(SocketState &c, const Address &a, bool local);
  void DropTransferOf(SocketState &c);
  void DropTransfer(std::uint64_t order, bool counted);
  static Place PlaceOf(const Transfer &t, std::uint64_t order);
  void AddTransfer(const ParsedLine &line, const Origin &origin, const Key &key,
                   std::int64_t moved);
  // moved < 0: as many bytes as the dump that follows holds.
  void Move(const Origin &origin, const Key &key, bool outgoing,
            const Address &named, bool peek, std::int64_t moved);
  void ConnectEx(const CallLine &call, const Origin &origin, const Key &key);
  void AcceptEx(const Origin &origin, const Key &listener, std::int64_t into,
                const Address &local, const Address &peer);
  // The connection a listener accepted into the open socket `into`, opened
  // by the peer: from peer to local (else the listener's own address).
  void Accepted(const Origin &origin, const Key &listener, std::int64_t into,
                const Address &local, const Address &peer);
  void Complete(const ParsedLine &line, const Origin &origin,
                const Completion &done);
  void EnsureStarted(SocketState &c, const Origin &origin);
  void Connect(const CallLine &call, const Origin &origin, const Key &key);
  void Accept(const CallLine &call, const Origin &at, const Key &key);
  void SocketPair(const ParsedLine &line);
  void TakeDatagramBytes(Transfer &t, const Origin &origin,
                         const std::uint8_t *bytes, std::size_t len);

  SocketEvents &events_;
  Tally &tally_;
  std::map<Key, SocketState> sockets_;
  std::map<std::uint64_t, Transfer> waiting_;  // by the order of the calls
  std::set<Place> places_;                     // the same, by place
  std::uint64_t next_order_ = 1;
  std::uint64_t next_id_ = 1;
  std::size_t held_datagrams_ = 0;  // bytes of all Transfer::datagram
  // The destinations of WSASendTo calls under way, by module and
  // OVERLAPPED, for their completions.
  std::map<std::pair<std::string, std::string>, Address> sent_to_;
};

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_SOCKET_TABLE_H
