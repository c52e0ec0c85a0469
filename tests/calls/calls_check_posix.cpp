// On POSIX systems, the entries of netquill_posix.h for the calls that
// only netquill-run traces, held to the one list of calls.
#include "calls/calls_check.h"
#include "netquill_calls.h"
#include "netquill_posix.h"

NQ_POSIX_CALLS(NQ_CHECK_POSIX)
