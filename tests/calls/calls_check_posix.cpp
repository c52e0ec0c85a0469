// On POSIX systems, the entries of netquill_posix.h for the calls that
// only netquill-run traces, held to the one list of calls.
#include "calls/calls_check.h"
#include "entries/posix_entries.h"
#include "netquill_calls.h"

NQ_POSIX_CALLS(NQ_CHECK_POSIX)
