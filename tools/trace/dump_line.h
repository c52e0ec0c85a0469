// Reads the bytes back out of one dump line, checking every column the
// writer prints:
//
//   <indent>0010  48 65 6C 6C 6F 2C 20 77:6F 72 6C 64 0D 0A        Hello,
//   world..
//
// indentation, an offset of four to eight upper-case hex digits (no leading
// zero beyond four), two spaces, sixteen cells of two upper-case hex digits
// and a separator (':' after the eighth, ' ' after the others; blank cells
// after the last byte), a space, and the bytes as characters ('.' outside
// 0x20..0x7E).
#ifndef NQ_TOOLS_TRACE_DUMP_LINE_H
#define NQ_TOOLS_TRACE_DUMP_LINE_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nqtrace {

constexpr std::size_t kDumpBytesPerLine = 16;

struct DumpLine {
  std::size_t indent = 0;    // leading spaces: the module name's length + 1
  std::uint32_t offset = 0;  // of the first byte within the dump
  unsigned char bytes[kDumpBytesPerLine];
  std::size_t count = 0;     // 1 to 16
  std::size_t bad_cell = 0;  // DumpFault::BadCell only: which cell
};

enum class DumpFault {
  None,
  BadOffset,      // not 4 to 8 hex digits followed by two spaces
  ShortLine,      // too short to hold sixteen cells and a character
  BadCell,        // a cell that is not two hex digits and its separator
  CellAfterEnd,   // a filled cell after a blank one
  BadCharacters,  // no bytes, or the character column differs from them
};

DumpFault DecodeDumpLine(std::string_view line, DumpLine &out);

// A short description of the fault for messages ("bad dump offset").
const char *DumpFaultText(DumpFault fault);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_DUMP_LINE_H
