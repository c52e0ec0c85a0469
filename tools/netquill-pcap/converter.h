// Turns trace files into frames: reads each line in bounded memory, gives
// call lines to the socket table and dump lines, gathered into runs of
// contiguous offsets, to the transfer that waits for them; reports damaged
// lines by number and sums up what could not go into the capture.
#ifndef NQ_TOOLS_NETQUILL_PCAP_CONVERTER_H
#define NQ_TOOLS_NETQUILL_PCAP_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "byte_source.h"
#include "capture.h"
#include "line_parser.h"
#include "socket_table.h"

namespace nqpcap {

class Converter {
 public:
  Converter(Capture &capture, std::ostream &err)
      : capture_(capture), err_(err) {}

  // Reads source to its end. label names the file in frame comments and
  // messages; days is the date of lines before the first start banner.
  // False if reading failed before the end.
  bool ConvertFile(nqtrace::ByteSource &source, const std::string &label,
                   std::int64_t days);

  // Writes the notes on what the capture lacks, and how many damaged lines
  // were not shown one by one.
  void WriteNotes();

 private:
  void Damaged(const std::string &label, std::uint64_t line, const char *why,
               const char *detail = nullptr);
  // The thread a text line comes from, as far as the banners tell it.
  std::uint32_t TracingThread(const nqtrace::ParsedLine &p);

  Capture &capture_;
  std::ostream &err_;
  nqtrace::Tally tally_;
  std::uint64_t damaged_lines_ = 0;
  // Per module, the threads whose trace is started and not stopped.
  std::map<std::string, std::vector<std::uint32_t>, std::less<>> threads_;
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_CONVERTER_H
