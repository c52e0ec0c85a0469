/* What the echo demo needs that differs between Windows and POSIX. */
#ifndef NQ_EXAMPLES_DEMO_PLATFORM_H
#define NQ_EXAMPLES_DEMO_PLATFORM_H

#include "netquill.h"

typedef void (*DemoThreadFn)(void *arg);
typedef struct DemoThread DemoThread;

void DemoStartup(void);
void DemoCleanup(void);
DemoThread *DemoThreadStart(DemoThreadFn fn, void *arg);
void DemoThreadJoin(DemoThread *thread);
void DemoSleepMs(int ms);

/* The accessors of the caller's socket error code, for WSASetupTrace. */
TraceErrorHooks DemoErrorBridge(void);

#endif
