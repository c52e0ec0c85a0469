// On Windows, the socket functions as the system declares them and the
// wrappers of netquill_wrap.h, which cover every traced call there, held
// to the one list of calls.
#include "calls/calls_check.h"
#include "netquill.h"
#include "netquill_calls.h"
#include "netquill_wrap.h"

NQ_TRACED_CALLS(NQ_CHECK_EXPORT)
NQ_UNTRACED_CALLS(NQ_CHECK_EXPORT)
NQ_TRACED_CALLS(NQ_CHECK_WRAP)
