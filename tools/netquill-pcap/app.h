// The whole of netquill-pcap behind main(), so that tests run it
// in-process on files.
#ifndef NQ_TOOLS_NETQUILL_PCAP_APP_H
#define NQ_TOOLS_NETQUILL_PCAP_APP_H

#include <ostream>
#include <string>
#include <vector>

namespace nqpcap {

extern const char *const kUsage;

// The output name when -o is not given: the first trace's name with its
// extension (if any) replaced by .pcapng.
std::string DefaultOutput(const std::string &trace);

// Returns the exit status: 0 success, 1 a trace could not be opened or
// read or the output not written (the rest is still converted), 2 bad
// usage. Messages and notes go to err; "-o -" writes the capture to
// standard output.
int RunPcap(const std::vector<std::string> &args, std::ostream &err);

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_APP_H
