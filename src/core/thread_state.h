// Everything the library keeps per thread, in one record reached through
// one accessor. Windows keeps it in a native TLS slot, allocated on the
// thread's first call; POSIX in thread-local storage. The library uses no
// other per-thread storage, so the platform decides alone how a thread's
// state is found, and frees it when the thread ends.
#ifndef NQ_CORE_THREAD_STATE_H
#define NQ_CORE_THREAD_STATE_H

#include <stdint.h>

#include "platform/os.h"

namespace nq {

struct TraceContext;

// The value formatters' texts: each formatter writes into its own buffer,
// valid until the same formatter's next call on the same thread.
struct FormatterTexts {
  char in_addr[32];
  char sock_addr[448];  // an AF_UNIX path of 108 bytes, each as \xHH
  char time_val[48];    // 64-bit POSIX time fields need up to 41 characters
  char int_result[64];
  char socket_result[64];
  char handle_result[64];
  char proc_result[64];
  char host_ent[128];
  char serv_ent[128];
  char proto_ent[128];
};

// The last local-time conversion: a thread writes many records within one
// second, and converting is far dearer than reading the clock.
struct ClockCache {
  int64_t second;       // the calendar second converted, in the system's unit
  uint32_t generation;  // time-zone generation of the conversion
  int32_t valid;        // nonzero once a conversion is held
  LocalTime local;      // the conversion
};

struct ThreadState {
  int32_t last_error;     // error code fetched by this thread's last capture
  int32_t in_library;     // nonzero while the thread runs inside the library
  TraceContext *context;  // this thread's context as last found, or null
  uint32_t scanned_id;    // thread id of the last scan of the table
  uint32_t scanned_generation;  // table generation that scan saw
  uint32_t thread_id;   // cached system thread id, 0 until asked (POSIX)
  int32_t lock_depth;   // how deep this thread holds the lock (POSIX)
  uint32_t registered;  // thread-end registration it holds (platform's)
  ClockCache clock;
  FormatterTexts texts;
  ThreadState *prev;  // every live state, for the unload (platform's)
  ThreadState *next;
};

// Sets up the per-thread storage; false when the system refuses it, and
// then the library must not load. Called once at attach.
bool ThreadStatesCreate();

// Tears it down at detach. give_back: the process goes on without the
// library (a dynamic unload), so every thread's state is freed.
void ThreadStatesDelete(bool give_back);

// The calling thread's state, made on its first call. Null only when no
// memory can be had for it; a thread without state traces nothing and
// leaves the caller's error code alone. Leaves the system error state
// (GetLastError, errno) as it found it.
ThreadState *ThisThread();

// Frees the calling thread's state, if it has one; a later call on the
// same thread makes a new one. Leaves the system error state as it was.
void ReleaseThisThread();

}  // namespace nq

#endif
