// Gathers the dump lines of a trace into runs of contiguous offsets and
// hands each run to the socket table's waiting transfer: whole, or in
// pieces of 64 KiB for a long dump, so memory stays bounded.
#ifndef NQ_TOOLS_TRACE_DUMP_RUNS_H
#define NQ_TOOLS_TRACE_DUMP_RUNS_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dump_line.h"
#include "socket_table.h"

namespace nqtrace {

class DumpRuns {
 public:
  explicit DumpRuns(SocketTable &table);

  // A dump line. A damaged one spoils its run (the run's transfer is
  // dropped whole) and returns its fault.
  DumpFault Line(std::string_view text);
  // The line that ends a dump cut by the thread's limit: cut bytes follow
  // the ones shown.
  void Cut(std::uint64_t cut);
  // Any other line: the run before it is complete.
  void End();
  // A line that belongs to the run but cannot be read (an indented line
  // that is no dump line, or one cut short with the next record after it):
  // it spoils the run, or starts a spoilt one.
  void Spoil();
  // A line too long to read: the run it falls in, if any, is spoilt.
  void SpoilOpen();

 private:
  SocketTable &table_;
  bool open_ = false;
  bool damaged_ = false;
  std::size_t indent_ = 0;
  std::uint64_t start_ = 0;  // offset of bytes_[0]
  std::uint64_t next_ = 0;   // offset the next line must have
  std::size_t last_count_ = 0;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_DUMP_RUNS_H
