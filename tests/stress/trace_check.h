// Reads a trace file that many threads or processes wrote at once and
// proves its form: every line whole and ending in CR LF, every text line in
// the exact column layout, every dump a run of adjacent lines with offsets
// in order, and every record handed to the thread that wrote it.
#ifndef NQ_TESTS_STRESS_TRACE_CHECK_H
#define NQ_TESTS_STRESS_TRACE_CHECK_H

#include <stddef.h>

#include <map>
#include <string>
#include <vector>

namespace nqstress {

struct TraceReport {
  std::vector<std::string> errors;  // the first faults found, in file order
  size_t error_count = 0;           // all of them
  size_t lines = 0;
  size_t texts = 0;     // text records
  size_t dumps = 0;     // dump records
  size_t switches = 0;  // adjacent records of different owners
  // Each owner's records in file order: a text record as its tag and text
  // (a banner's date as <date>), a dump as "DUMP " and its bytes in hex.
  std::map<std::string, std::vector<std::string>> records;
  std::vector<std::string> sequence;  // the owner of every record, in order
};

// Reads path, whose text lines must start with module. Records go to their
// owners through OwnerOfText, OwnerOfDump and, for banners, the thread id
// that the owner's note (ParseNote) gave between them.
TraceReport ReadTrace(const std::string &path, const std::string &module);

// The report's faults and figures as text for a failure message.
std::string Describe(const TraceReport &report);

}  // namespace nqstress

#endif
