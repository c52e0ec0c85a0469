/* What the echo demo needs that differs between Windows and POSIX. */
#ifndef NQ_DEMO_PLATFORM_H
#define NQ_DEMO_PLATFORM_H

#include "netquill.h"

typedef void (*demo_thread_fn)(void *arg);
typedef struct demo_thread demo_thread;

void demo_startup(void);
void demo_cleanup(void);
demo_thread *demo_thread_start(demo_thread_fn fn, void *arg);
void demo_thread_join(demo_thread *thread);
void demo_sleep_ms(int ms);

/* The accessors of the caller's socket error code, for WSASetupTrace. */
TraceErrorHooks demo_error_bridge(void);

#endif
