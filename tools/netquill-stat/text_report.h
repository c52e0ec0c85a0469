// The plain-text summary, laid out in fixed columns like `strace -c`.
#ifndef NQ_TOOLS_NETQUILL_STAT_TEXT_REPORT_H
#define NQ_TOOLS_NETQUILL_STAT_TEXT_REPORT_H

#include <ostream>

#include "summary.h"

namespace nqstat {

// Layout. Numbers are right-aligned in 10 columns (wider ones push the row
// out rather than being cut); sections that would be empty (error codes,
// busiest lines) are left out, and "no socket calls" replaces the module
// tables when there are none. The empty module name prints as "".
//
//   netquill-stat: 2 files (1 not opened: gone.trace)
//
//   module APP
//        calls     errors   warnings   total ms     max ms  function
//   ---------- ---------- ---------- ---------- ----------  ----------------
//            2          1          0        350        250  connect
//            1          0          1         12         12  recv
//   ---------- ---------- ---------- ---------- ----------  ----------------
//            3          1          1        362        250  total
//   bytes sent 0, received 0
//
//   error codes
//        count   code  name
//   ---------- ------  ----------------
//            1  10035  WSAEWOULDBLOCK
//            1  10061  WSAECONNREFUSED
//
//   busiest lines (top 1 by elapsed ms)
//      elapsed  location
//   ----------  ----------------
//          250  a.trace:2  APP connect(3, 10.1.2.3:80, 16) returned -1 [10061]
//
//   totals
//     calls                      3
//     errors                     1
//     warnings                   1
//     bytes sent                 0
//     bytes received             0
//
//   lines
//     read                       7
//     text                       5
//       calls                    3
//       trace starts             1
//       trace stops              0
//       other records            1
//     dump                       1
//     malformed                  1
//
// Modules are in name order; functions by total ms, then calls, then name;
// error codes by count, then code; busiest lines by elapsed ms, then input
// order. Line counts: text = calls + trace starts + trace stops + other.
// A trace with overlapped calls under way (WRN [997]) adds a "pending"
// column after "warnings" to every module's table, and a "pending" line
// after "warnings" to the totals.
void WriteTextReport(std::ostream &out, const Summary &summary);

}  // namespace nqstat

#endif  // NQ_TOOLS_NETQUILL_STAT_TEXT_REPORT_H
