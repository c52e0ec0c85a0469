// The sockets of one trace file, keyed by module and handle: what each
// traced call does to its socket's conversation, and the sends and
// receives whose bytes the dump after them will bring.
#ifndef NQ_TOOLS_NETQUILL_PCAP_SOCKET_TABLE_H
#define NQ_TOOLS_NETQUILL_PCAP_SOCKET_TABLE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "capture.h"
#include "conversation.h"
#include "line_parser.h"

namespace nqpcap {

// What the notes at the end report.
struct Tally {
  std::uint64_t excluded_sockets = 0;  // not IPv4 TCP or UDP
  std::uint64_t transfers = 0;         // successful sends/receives of bytes
  std::uint64_t placed_dumps = 0;      // dumps that found their call
  std::uint64_t undumped = 0;          // transfers whose bytes never came
  std::uint64_t undumped_bytes = 0;
  std::uint64_t unplaced_dumps = 0;  // dumps without their call line
  std::uint64_t damaged_dumps = 0;   // dumps with a damaged line
};

class SocketTable {
 public:
  SocketTable(Capture &capture, Tally &tally)
      : capture_(capture), tally_(tally) {}

  // A well-formed call line and the origin of its frames.
  void Call(const nqtrace::ParsedLine &line, const Origin &origin);

  // The bytes of a dump record (a run of lines with contiguous offsets)
  // whose lines are indented by indent; they go to the waiting transfer
  // of a module of that name length expecting them at offset. False if
  // none waits for them.
  bool PlaceDump(std::size_t indent, std::uint64_t offset,
                 const std::uint8_t *bytes, std::size_t len);
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
    Endpoint src, dst;         // UDP: the datagram's ends
    std::uint64_t total = 0;   // bytes the call moved
    std::uint64_t placed = 0;  // of those, already in frames
    std::uint64_t line = 0;    // origin of its frames
    std::uint64_t time_us = 0;
    std::vector<std::uint8_t> datagram;  // UDP: bytes until all are there
  };

  Conversation *Find(const Key &key);
  Conversation &Open(const Key &key);
  void Forget(const Key &key);
  void DropTransferOf(const Key &key);
  void DropTransfer(std::size_t index);
  void AddTransfer(const nqtrace::ParsedLine &line, const Origin &origin,
                   const Key &key, std::int64_t moved);
  void EnsureStarted(Conversation &c, const Origin &origin);
  void Connect(const nqtrace::ParsedLine &line, const Origin &origin,
               const Key &key);
  std::size_t FindWaiting(std::size_t indent, std::uint64_t offset,
                          std::size_t len) const;

  Capture &capture_;
  Tally &tally_;
  std::map<Key, Conversation> sockets_;
  std::vector<Transfer> waiting_;  // in the order of their call lines
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_SOCKET_TABLE_H
