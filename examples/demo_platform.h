/* The demo's threads, which differ between Windows and POSIX; its socket
 * start-up and error-code accessors are the tree's socket shim
 * (tests/support/net_shim.h). */
#ifndef NQ_EXAMPLES_DEMO_PLATFORM_H
#define NQ_EXAMPLES_DEMO_PLATFORM_H

typedef void (*DemoThreadFn)(void *arg);
typedef struct DemoThread DemoThread;

DemoThread *DemoThreadStart(DemoThreadFn fn, void *arg);
void DemoThreadJoin(DemoThread *thread);
void DemoSleepMs(int ms);

#endif
