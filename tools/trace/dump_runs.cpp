#include "dump_runs.h"

namespace nqtrace {
namespace {

// A dump of more than this is placed piece by piece.
constexpr std::size_t kMaxHeldDump = 64 * 1024;

}  // namespace

DumpRuns::DumpRuns(SocketTable &table) : table_(table) {
  bytes_.reserve(kMaxHeldDump);
}

void DumpRuns::End() {
  if (!open_) return;
  if (damaged_)
    table_.DropDamagedDump(indent_, start_);
  else if (!bytes_.empty())
    table_.PlaceDump(indent_, start_, bytes_.data(), bytes_.size());
  open_ = false;
  damaged_ = false;
  bytes_.clear();
}

void DumpRuns::Cut(std::uint64_t cut) {
  const bool whole = open_ && !damaged_;
  const std::size_t indent = indent_;
  const std::uint64_t offset = next_;
  End();
  if (whole) table_.CutDump(indent, offset, cut);
}

void DumpRuns::Spoil() {
  if (!open_) {
    open_ = true;
    indent_ = 0;
    start_ = next_ = 0;
  }
  damaged_ = true;
  // The damaged line's own bytes are unknown; a run that goes on after it
  // still belongs to the same dump.
  next_ += 16;
  last_count_ = 16;
}

void DumpRuns::SpoilOpen() {
  if (open_) damaged_ = true;
}

DumpFault DumpRuns::Line(std::string_view text) {
  DumpLine d;
  const DumpFault fault = DecodeDumpLine(text, d);
  const bool continues =
      open_ && d.indent == indent_ && d.offset == next_ && last_count_ == 16;
  if (fault != DumpFault::None) {
    if (!open_) {
      open_ = true;
      indent_ = d.indent;
      start_ = next_ = 0;
    }
    Spoil();
    return fault;
  }
  if (!continues) {
    End();
    open_ = true;
    indent_ = d.indent;
    start_ = next_ = d.offset;
  }
  next_ = d.offset + d.count;
  last_count_ = d.count;
  if (damaged_) return fault;
  bytes_.insert(bytes_.end(), d.bytes, d.bytes + d.count);
  if (bytes_.size() >= kMaxHeldDump) {
    table_.PlaceDump(indent_, start_, bytes_.data(), bytes_.size());
    start_ += bytes_.size();
    bytes_.clear();
  }
  return fault;
}

}  // namespace nqtrace
