// The summary as JSON, for scripts. One object; arrays keep the same order
// as the text report. Strings from the trace are escaped as json_string.h
// says, so the output is always well-formed.
#ifndef NQ_TOOLS_NETQUILL_STAT_JSON_REPORT_H
#define NQ_TOOLS_NETQUILL_STAT_JSON_REPORT_H

#include <ostream>
#include <string_view>

#include "summary.h"

namespace nqstat {

void WriteJsonReport(std::ostream &out, const Summary &summary);

}  // namespace nqstat

#endif  // NQ_TOOLS_NETQUILL_STAT_JSON_REPORT_H
