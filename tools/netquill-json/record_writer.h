// Writes each record of a trace as one JSON object per line (the schema is
// in README.md). A record's dump lines add their bytes to its "dump" field
// as they arrive, so a record's object stays open until the next line that
// is not one of its dump lines: memory stays bounded however long a dump.
#ifndef NQ_TOOLS_NETQUILL_JSON_RECORD_WRITER_H
#define NQ_TOOLS_NETQUILL_JSON_RECORD_WRITER_H

#include <cstdint>
#include <string_view>

#include "json_out.h"
#include "line_parser.h"

namespace nqjson {

class RecordWriter {
 public:
  explicit RecordWriter(JsonOut &out) : out_(out) {}

  // One line as the line reader gave it; overlong when it was cut.
  void Line(std::string_view line, bool overlong);
  // Closes the last record.
  void Finish() { CloseRecord(); }

 private:
  void CloseRecord();
  void Damaged(std::string_view reason, std::string_view line);
  void DumpLine(std::string_view line);
  void CutLine(std::uint64_t cut, std::string_view line);
  void TextRecord(const nqtrace::ParsedLine &p);
  void CallFields(const nqtrace::ParsedLine &p);

  JsonOut &out_;
  std::uint64_t line_no_ = 0;
  bool open_ = false;         // a record's object is not closed yet
  bool in_dump_ = false;      // its "dump" string is not closed yet
  std::uint64_t dumped_ = 0;  // bytes in its dump so far
};

}  // namespace nqjson

#endif  // NQ_TOOLS_NETQUILL_JSON_RECORD_WRITER_H
