// The operating system as the rest of the library sees it: a handful of
// services with the same signatures on every platform. os_posix.cpp and
// os_win32.cpp provide them; nothing else in the library includes a system
// header that differs between the two.
#ifndef NQ_PLATFORM_OS_H
#define NQ_PLATFORM_OS_H

// A header of the platform floor: a file below it must not include it.
#if NQ_FLOOR < 1
#error "src/platform/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

namespace nq {

// Broken-down local time, in calendar terms (month 1 to 12).
struct LocalTime {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
};

// Everything the library asks of the system that tests may want to replace:
// a tick counter that wraps, a file that cannot be written, a module with an
// odd name. The table is internal; the shipped library exports none of it.
struct OsServices {
  uint32_t (*thread_id)();  // system id of the calling thread
  uint32_t (*tick_ms)();    // millisecond tick, wraps at 2^32
  // Local time now. refresh_zone asks for the zone setting to be read
  // again first; the native services never re-read it (POSIX reads it
  // once at load, Windows keeps its own current), so no caller asks.
  void (*local_time)(LocalTime *out, int refresh_zone);
  uintptr_t (*main_module)();  // main executable's handle, 0 if none
  // Full file name of the main module into buf (always terminated);
  // returns its length, 0 when it cannot be had.
  size_t (*module_file_name)(uintptr_t module, char *buf, size_t size);
  // Temporary directory into buf (always terminated); returns its length,
  // 0 when it cannot be had or does not fit.
  size_t (*temp_dir)(char *buf, size_t size);
  // Opens path for appending (created if missing, shared for reading and
  // writing), writes size bytes in one write and closes it. Returns 1 when
  // every byte reached the file, -1 when only some did (a full disk: the
  // file now ends inside the record), 0 when none did. Leaves the caller's
  // system error state as it found it.
  // A record that would take the file past the process's file-size limit
  // is not written at all (0), and raises no signal.
  // Never waits to open (a FIFO without a reader), and writes only to a
  // regular file or a character device: anything else gets 0 and nothing.
  int (*append)(const char *path, const void *data, size_t size);
  // append for a file that other users' directory entries may stand in
  // for (the default file in the shared temporary directory): a symbolic
  // link there is not followed, a new file is readable by its owner only,
  // and a file that another user owns, or that has a second name, is
  // refused.
  int (*append_owned)(const char *path, const void *data, size_t size);
  void *(*alloc)(size_t size);
  void (*release)(void *block);
};

extern OsServices g_os;

// The native services, for tests that put the table back.
const OsServices &NativeOsServices();

// The system's own codes of a call that would block and of a connect under
// way, which admission tags as warnings beside the socket API's
// WSAEWOULDBLOCK. Windows reports both as WSAEWOULDBLOCK itself.
// kSystemMemoryFault: the code of a call the kernel refused because it
// could not read the caller's memory (EFAULT); kSystemBadDescriptor and
// kSystemNotSocket: the codes of a call refused for its descriptor, which
// Linux looks up before it reads the call's memory (EBADF, ENOTSOCK). The
// hooks then read none of it either. 0 where the hooks read such memory as
// they always have.
// kSystemIoPending: an overlapped call under way (WSA_IO_PENDING), a
// warning like a call that would block; none on POSIX.
#if defined(_WIN32)
constexpr int32_t kSystemWouldBlock = 10035;
constexpr int32_t kSystemInProgress = 10035;
constexpr int32_t kSystemMemoryFault = 0;
constexpr int32_t kSystemIoPending = 997;
constexpr int32_t kSystemBadDescriptor = 0;
constexpr int32_t kSystemNotSocket = 0;
#else
constexpr int32_t kSystemWouldBlock = 11;    // EAGAIN, EWOULDBLOCK on Linux
constexpr int32_t kSystemInProgress = 115;   // EINPROGRESS on Linux
constexpr int32_t kSystemMemoryFault = 14;   // EFAULT
constexpr int32_t kSystemBadDescriptor = 9;  // EBADF
constexpr int32_t kSystemNotSocket = 88;     // ENOTSOCK
constexpr int32_t kSystemIoPending = kSystemWouldBlock;
#endif

// Whether a hook may run on a small stack: a POSIX signal handler on an
// alternate stack of 8 KiB (SIGSTKSZ). Records are then composed in the
// thread's own buffer; elsewhere on the stack, which costs no call.
#if defined(_WIN32)
constexpr bool kSmallHandlerStacks = false;
#else
constexpr bool kSmallHandlerStacks = true;
#endif

// The character that separates directories in a path on this system.
extern const char kPathSeparator;

// Reads the process's limit on the size of the files it writes, which
// append keeps to; called at load and at every enable (POSIX; nothing on
// Windows, which has no such limit).
void ReadFileSizeLimit();

#if !defined(_WIN32)
// Whether the process has a limit on the size of its files, which only the
// services' append keeps to: an append of another way round it goes there.
bool FileSizeLimited();
#endif

// Holds off thread cancellation while the calling thread is inside the
// library, so that no file call of a record becomes a cancellation point the
// program did not make; CancelResume puts back what the thread had.
// Windows cancels no thread inside a call: there every hook is spared the
// calls.
#if defined(_WIN32)
inline void CancelHold() {}
inline void CancelResume() {}
#else
void CancelHold();
void CancelResume();
#endif

#if !defined(_WIN32)
// The library's own steps around a fork, which the system runs at every
// fork(): for a fork made without the system's handlers (_Fork).
void ForkPrepare();
void ForkInParent();
void ForkInChild();
#endif

// Sets what a forked child runs first, in the calling thread (the only
// one the child has, with its new id), while it holds the lock. Systems
// without fork never call it.
void SetForkChildHook(void (*hook)());

#if defined(_WIN32)
// The function name of module, when the process has the module loaded;
// null otherwise (nothing is loaded for it).
void *LoadedModuleFunction(const char *module, const char *name);
#endif

// The one process-wide recursive lock. On POSIX no signal handler runs, and
// no cancellation acts, on a thread while it holds it.
void LockCreate();
void LockDelete();
void LockEnter();
void LockLeave();

}  // namespace nq

#endif
