// The hooks and the library's exports as netquill.h declares them, held to
// the one list of calls on every platform.
#include "calls/calls_check.h"
#include "netquill.h"
#include "netquill_calls.h"

NQ_TRACED_CALLS(NQ_CHECK_HOOK)
NQ_LIBRARY_EXPORTS(NQ_CHECK_EXPORT)
