// The sockets of one trace file, keyed by module and handle: what each
// traced call does to its socket's conversation, and the sends and
// receives whose bytes the dump after them will bring.
#ifndef NQ_TOOLS_NETQUILL_PCAP_SOCKET_TABLE_H
#define NQ_TOOLS_NETQUILL_PCAP_SOCKET_TABLE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "call_args.h"
#include "call_shape.h"
#include "capture.h"
#include "conversation.h"
#include "line_parser.h"

namespace nqpcap {

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
  SocketTable(Capture &capture, Tally &tally)
      : capture_(capture), tally_(tally) {}

  // A well-formed call line and the origin of its frames.
  void Call(const nqtrace::ParsedLine &line, const Origin &origin);

  // The bytes of a dump record (a run of lines with contiguous offsets)
  // whose lines are indented by indent; they go to the waiting transfer
  // of a module of that name length expecting them at offset, the one
  // with the fewest bytes still to come that holds them (the earliest of
  // equals). False if none waits for them.
  bool PlaceDump(std::size_t indent, std::uint64_t offset,
                 const std::uint8_t *bytes, std::size_t len);
  // The end of a dump cut short by the trace's dump limit: of the
  // transfer waiting at offset, the cut bytes that follow are not in the
  // trace. A TCP stream goes on past them without inventing any (its
  // sequence numbers step over them, and the peer's acknowledgement says
  // so in its comment); a UDP datagram is left out.
  void CutDump(std::size_t indent, std::uint64_t offset, std::uint64_t cut);
  // A dump record with a damaged line: its transfer is dropped whole.
  void DropDamagedDump(std::size_t indent, std::uint64_t offset);

  // The end of the file: waiting transfers will get no bytes.
  void Finish();

 private:
  using Key = std::pair<std::string, std::int64_t>;

  struct Transfer {
    Key key;
    bool outgoing = false;
    bool udp = false;
    bool open_ended = false;   // WSASend and the like that completed at
                               // once: what they moved is their dump
    bool discard = false;      // a peek, or a socket left out: no frames
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
    const nqtrace::ParsedLine &line;
    const nqtrace::CallArgs &args;
    nqtrace::CallShape shape;
    bool ok;       // it succeeded
    bool numeric;  // result holds what it returned
    std::int64_t result;
  };
  // socket and WSASocket: a new socket of a family and type.
  void SocketCreated(const nqtrace::ParsedLine &line,
                     const nqtrace::CallArgs &args);
  // The calls on socket c that count whether or not they succeeded; false
  // for any other.
  bool CallOfAnyOutcome(const CallLine &call, const Origin &origin,
                        const Key &key, Conversation &c);
  // A successful call that connects, accepts or moves bytes; false for any
  // other.
  bool ConnectionOrDataCall(const CallLine &call, const Origin &at,
                            const Origin &origin, const Key &key,
                            Conversation &c);
  // A successful call that names an end of c, or ends what it carries.
  void StateCall(const CallLine &call, const Origin &origin, const Key &key,
                 Conversation &c);
  void ConnectedBy(const CallLine &call, const Origin &origin, Conversation &c);

  Conversation *Find(const Key &key);
  Conversation &Opened(const Key &key);
  void Forget(const Key &key);
  void Exclude(Conversation &c, LeftOut why);
  bool ExcludedBy(Conversation &c, const nqtrace::Address &a);
  void Learn(Conversation &c, const nqtrace::Address &a, bool local);
  void DropTransferOf(Conversation &c);
  void DropTransfer(std::uint64_t order, bool counted);
  static Place PlaceOf(const Transfer &t, std::uint64_t order);
  void AddTransfer(const nqtrace::ParsedLine &line, const Origin &origin,
                   const Key &key, std::int64_t moved);
  // moved < 0: as many bytes as the dump that follows holds.
  void Move(const Origin &origin, const Key &key, bool outgoing,
            const nqtrace::Address &named, bool peek, std::int64_t moved);
  void ConnectEx(const nqtrace::ParsedLine &line, const Origin &origin,
                 const Key &key);
  void AcceptEx(const Origin &origin, const Key &listener, std::int64_t into,
                const nqtrace::Address &local, const nqtrace::Address &peer);
  // The connection a listener accepted into the open socket `into`, opened
  // by the peer: from peer to local (else the listener's own address).
  void Accepted(const Origin &origin, const Key &listener, std::int64_t into,
                const nqtrace::Address &local, const nqtrace::Address &peer);
  void Complete(const nqtrace::ParsedLine &line, const Origin &origin,
                const nqtrace::Completion &done);
  void EnsureStarted(Conversation &c, const Origin &origin);
  void Connect(const nqtrace::ParsedLine &line, const Origin &origin,
               const Key &key);
  void Accept(const nqtrace::ParsedLine &line, const Origin &at, const Key &key,
              std::int64_t result);
  void SocketPair(const nqtrace::ParsedLine &line);
  void TakeDatagramBytes(Transfer &t, const Origin &origin,
                         const std::uint8_t *bytes, std::size_t len);

  Capture &capture_;
  Tally &tally_;
  std::map<Key, Conversation> sockets_;
  std::map<std::uint64_t, Transfer> waiting_;  // by the order of the calls
  std::set<Place> places_;                     // the same, by place
  std::uint64_t next_order_ = 1;
  std::size_t held_datagrams_ = 0;  // bytes of all Transfer::datagram
  // The destinations of WSASendTo calls under way, by module and
  // OVERLAPPED, for their completions.
  std::map<std::pair<std::string, std::string>, nqtrace::Address> sent_to_;
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_SOCKET_TABLE_H
