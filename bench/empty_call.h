// The yardstick of the "off" case: an exported function in a library of its
// own that takes TX_connect's arguments and only returns the first, so the
// call crosses a library boundary exactly as a hook call does.
#ifndef NQ_BENCH_EMPTY_CALL_H
#define NQ_BENCH_EMPTY_CALL_H

#include "netquill.h"

extern "C" int NQ_CALL NqbEmptyConnect(int result, NQ_SOCKET s,
                                       const struct sockaddr *name,
                                       NQ_SOCKLEN namelen);

#endif
