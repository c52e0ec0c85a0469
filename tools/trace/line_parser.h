// Reads one trace line (without its line ending) into its fields.
//
// A text line is  MODULE HHMMSS[.UUUUUU] ELAPSED TAG TEXT[ [CODE]][ <S.UUUUUU>]
// where MODULE is 0 to 63 characters, spaces included: the clock column is
// found by its shape (a space, six digits, optionally a dot and six more, a
// space, four or more digits, a space and "INF: ", "ERR: " or "WRN: ").
// A timed call carries its start to the microsecond in the clock column and
// its duration in seconds at the very end of the line; a socket number in a
// call may carry a label (see call_args.h), which the result drops.
// and a dump line is indentation, a hex offset, two spaces and hex cells;
// a dump cut short by the thread's limit ends in indentation and
// "... N more bytes".
// The views in ParsedLine point into the line that was parsed.
#ifndef NQ_TOOLS_TRACE_LINE_PARSER_H
#define NQ_TOOLS_TRACE_LINE_PARSER_H

#include <cstdint>
#include <string_view>

namespace nqtrace {

enum class LineKind {
  Call,        // a traced socket call: name(args) returned result
  TraceStart,  // "started process ..." banner
  TraceStop,   // "stopped process ..." banner
  Other,       // a record the program wrote itself
  Dump,        // hex dump of the data of the preceding send or recv line
  DumpCut,     // "... N more bytes": the bytes moved that the dump leaves out
  Malformed,
};

enum class Tag { Info, Error, Warning };

// Why a line was rejected: the first field that did not fit.
enum class Fault {
  None,
  Empty,        // blank line
  TooLong,      // longer than the reader keeps (set by the caller)
  ControlByte,  // NUL, CR or other control bytes: binary garbage
  BadDump,      // indented, but not offset + hex cells
  BadModule,    // module name longer than 63 characters
  BadClock,     // HHMMSS missing or not a time of day
  BadElapsed,   // fewer than four digits, or absurdly many
  BadTag,       // not "INF: ", "ERR: " or "WRN: "
  EmptyText,    // nothing after the tag
  BadResult,    // a traced call whose result is missing or unreadable
  MissingCode,  // ERR or WRN call without its [code]
  Glued,        // a record cut short with the next one on its line
};

const char *FaultText(Fault fault);

struct ParsedLine {
  LineKind kind = LineKind::Malformed;
  Fault fault = Fault::None;
  Tag tag = Tag::Info;
  std::string_view module;
  std::uint32_t clock = 0;     // HHMMSS read as a decimal number
  bool has_clock_us = false;   // the clock column has ".UUUUUU"
  std::uint32_t clock_us = 0;  // its microseconds, 0 to 999999
  std::uint64_t elapsed_ms = 0;
  std::string_view text;          // everything after the tag, a call's
                                  // duration left out
  std::string_view function;      // calls only
  std::string_view args;          // calls only: between the parentheses
  std::string_view result;        // calls only, without the error code and
                                  // without a socket label
  std::string_view result_label;  // the result's socket label, without
                                  // its angle brackets; empty when none
  bool has_code = false;          // ERR/WRN lines ending in " [digits]"
  std::uint32_t code = 0;         // a negative one (getaddrinfo's own codes,
                                  // " [-9]") as its two's complement
  std::uint64_t cut = 0;          // DumpCut only: the bytes left out
  bool has_duration = false;      // calls only: the line ends in " <S.UUUUUU>"
  std::uint64_t duration_us = 0;  // that duration in microseconds
};

ParsedLine ParseLine(std::string_view line);

// A call result that counts bytes: a plain non-negative integer.
// False for -1, NULL, handles and the like.
bool ResultAsCount(std::string_view result, std::uint64_t &count);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_LINE_PARSER_H
