#include "dump_line.h"

namespace nqtrace {
namespace {

constexpr std::size_t kCellWidth = 3;
constexpr std::size_t kCellsWidth = kDumpBytesPerLine * kCellWidth;

// Upper-case hex only: lower case is not what the writer prints.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char Printable(unsigned char b) {
  return b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
}

}  // namespace

DumpFault DecodeDumpLine(std::string_view line, DumpLine &out) {
  std::size_t p = 0;
  while (p < line.size() && line[p] == ' ') ++p;
  out.indent = p;
  out.count = 0;
  std::uint32_t offset = 0;
  std::size_t digits = 0;
  int v;
  while (p + digits < line.size() && (v = HexValue(line[p + digits])) >= 0) {
    offset = offset << 4 | static_cast<std::uint32_t>(v);
    if (++digits > 8) return DumpFault::BadOffset;
  }
  if (digits < 4 || (digits > 4 && line[p] == '0') ||
      line.substr(p + digits, 2) != "  ")
    return DumpFault::BadOffset;
  out.offset = offset;
  p += digits + 2;
  if (line.size() < p + kCellsWidth + 1) return DumpFault::ShortLine;
  const char *cells = line.data() + p;
  std::size_t j = 0;
  for (; j < kDumpBytesPerLine; ++j) {
    const char *cell = cells + kCellWidth * j;
    if (cell[0] == ' ' && cell[1] == ' ' && cell[2] == ' ') break;
    const int hi = HexValue(cell[0]);
    const int lo = HexValue(cell[1]);
    if (hi < 0 || lo < 0 || cell[2] != (j == 7 ? ':' : ' ')) {
      out.bad_cell = j;
      return DumpFault::BadCell;
    }
    out.bytes[j] = static_cast<unsigned char>(hi << 4 | lo);
  }
  out.count = j;
  for (; j < kDumpBytesPerLine; ++j) {
    const char *cell = cells + kCellWidth * j;
    if (cell[0] != ' ' || cell[1] != ' ' || cell[2] != ' ')
      return DumpFault::CellAfterEnd;
  }
  std::string_view chars = line.substr(p + kCellsWidth);
  if (out.count == 0 || chars.size() != out.count + 1 || chars[0] != ' ')
    return DumpFault::BadCharacters;
  for (std::size_t i = 0; i < out.count; ++i)
    if (chars[i + 1] != Printable(out.bytes[i]))
      return DumpFault::BadCharacters;
  return DumpFault::None;
}

const char *DumpFaultText(DumpFault fault) {
  switch (fault) {
    case DumpFault::None:
      return "ok";
    case DumpFault::BadOffset:
      return "bad dump offset";
    case DumpFault::ShortLine:
      return "short dump line";
    case DumpFault::BadCell:
      return "bad hex cell";
    case DumpFault::CellAfterEnd:
      return "hex cell after the end of the data";
    case DumpFault::BadCharacters:
      return "character column does not match the bytes";
  }
  return "?";
}

}  // namespace nqtrace
