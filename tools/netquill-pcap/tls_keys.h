// The TLS secrets a trace holds ("TLS key log: " records), gathered ahead
// of its conversion: readers decrypt only with the secrets in hand when
// they meet a session's first records, so they go before every frame.
#ifndef NQ_TOOLS_NETQUILL_PCAP_TLS_KEYS_H
#define NQ_TOOLS_NETQUILL_PCAP_TLS_KEYS_H

#include <string>

#include "byte_source.h"

namespace nqpcap {

// The key log lines of the trace, each once, in the order met, each ending
// in a line feed; empty when it has none.
std::string GatherTlsKeys(nqtrace::ByteSource &source);

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_TLS_KEYS_H
