// The injected DLL's state: the settings, the hooks and entries built into
// it, the system's functions each replaced import stands for, and the
// thread switch.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_STATE_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_STATE_H

#include "calls.h"
#include "netquill.h"

namespace nqinj {

// The two socket libraries a program imports the traced calls from.
enum Lib { kWs2 = 0, kWs1 = 1, kLibs = 2 };

enum Call {
#define NQRUN_ENUM(name, ...) kCall_##name,
  NQ_TRACED_CALLS(NQRUN_ENUM)
#undef NQRUN_ENUM
      kCalls
};

// netquill-run's entries (NQW_name, entries/netquill_winsock2.h), one per
// listed call.
enum W2Call {
#define NQRUN_ENUM(name, ...) kW2_##name,
  NQ_WINSOCK2_CALLS(NQRUN_ENUM)
#undef NQRUN_ENUM
      kW2Calls
};

// Where a program finds each of them: the list's lib column.
enum W2Lib {
  kLib_wsock,
  kLib_ws2,
  kLib_mswsock,
  kLib_extension,
  kLib_kernel,
  kLib_routine,
  kLib_launcher
};

// Where the thunk that stands for one of them got the system's function
// from: a library's export or a pointer WSAIoctl handed out.
enum Source {
  kFromWs2,
  kFromWs1,
  kFromMswsock,
  kFromKernel,
  kFromExtension,
  kSources
};

struct State {
  HMODULE lib[kLibs];                // the socket libraries, once found loaded
  void *real[kLibs][kCalls];         // their functions, looked up when found
  void *hook[kCalls];                // NQW_ entry or else TX_ hook, or null
  HMODULE mswsock;                   // mswsock.dll, once found loaded
  void *w2real[kSources][kW2Calls];  // the system's functions, by source
  void *w2hook[kW2Calls];            // the NQW_ entries asked for, or null
  HMODULE self;                      // this DLL
  wchar_t self_path[MAX_PATH];       // this DLL's full path, for children
};

extern State g_state;

// The list's names and lib column, by W2Call.
inline constexpr const char *kW2Names[kW2Calls] = {
#define NQRUN_NAME(name, ...) #name,
    NQ_WINSOCK2_CALLS(NQRUN_NAME)
#undef NQRUN_NAME
};

inline constexpr W2Lib kW2LibOf[kW2Calls] = {
#define NQRUN_LIB(name, bytes, lib, data, ...) kLib_##lib,
    NQ_WINSOCK2_CALLS(NQRUN_LIB)
#undef NQRUN_LIB
};

// The list's data column, by W2Call: whether the call's line is that of a
// completion, which carries another call's bytes.
inline constexpr bool kW2Completes[kW2Calls] = {
#define NQRUN_COMPLETES(name, bytes, lib, data, ...) \
  sizeof(#data) == sizeof("completed"),
    NQ_WINSOCK2_CALLS(NQRUN_COMPLETES)
#undef NQRUN_COMPLETES
};

// Called once by DllMain, once the library is attached: takes the settings
// (from the process's block, else the environment), the hooks and entries
// asked for, and prepares the thread switch. False if the DLL cannot work
// at all.
bool AttachProcess(HMODULE self);

// Called by each traced call before the system's: whether to trace it. The
// calling thread takes the settings on its first call after they changed
// (a first call starts its trace). False while detached: the call is then
// only the system's. The thread's last error is left as it was.
bool EnterCall();

// Called by a traced call once the system's returned: whether its line is
// still to be written. A call blocked across a detach returns without one.
bool StillTracing();

// Whether netquill-run -p loaded this DLL into the running program (or
// into a child the program started while attached): its code may hold the
// socket functions' addresses from before.
bool AttachedWhileRunning();

// Gives a child this process was attached in, started suspended, a block
// of its own with this process's settings: its environment has none. A
// child of a process started traced reads its environment as its parent.
void HandOnSettings(const PROCESS_INFORMATION &child);

// Looks up the socket libraries' functions once each is loaded. Called
// before import tables are read; cheap once all are found.
void FindLibs();

// The W2Call of this name whose lib column is lib, or -1.
int FindW2Call(W2Lib lib, const char *name);

// The entry NQW_name of a W2Call (inject_relays.cpp, which sees their
// declarations).
void *EntryOf(int call);

// Holds the trace file open for the process (NQW_HoldTraceFile): true when
// it is held.
bool HoldTraceFile(const char *path);

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_STATE_H
