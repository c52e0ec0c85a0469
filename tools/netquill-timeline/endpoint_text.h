// An end of a connection as the trace writes addresses: 127.0.0.1:80, and
// IPv6 as RFC 5952 text in brackets before the port, [::1]:443.
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_ENDPOINT_TEXT_H
#define NQ_TOOLS_NETQUILL_TIMELINE_ENDPOINT_TEXT_H

#include <string>

#include "endpoint.h"

namespace nqtimeline {

std::string EndpointText(const nqtrace::Endpoint &e);

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_ENDPOINT_TEXT_H
