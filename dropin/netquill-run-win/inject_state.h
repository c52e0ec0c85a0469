// The injected DLL's state: the settings, NETQUILL.DLL's hooks, the system's
// functions each replaced import stands for, and the thread switch.
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

struct State {
  HMODULE lib[kLibs];           // the socket libraries, once found loaded
  void *real[kLibs][kCalls];    // their functions, looked up when found
  void *hook[kCalls];           // NETQUILL.DLL's TX_ functions, or null
  HMODULE self;                 // this DLL
  HMODULE netquill;             // NETQUILL.DLL, or null
  wchar_t self_path[MAX_PATH];  // this DLL's full path, for children
};

extern State g_state;

// Called once by DllMain: reads the settings, loads NETQUILL.DLL from this
// DLL's own folder and prepares the thread switch. False if the DLL cannot
// work at all.
bool AttachProcess(HMODULE self);

// Called by each traced call before the system's: the calling thread starts
// tracing on its first one. The thread's last error is left as it was.
void EnterCall();

// Looks up the socket libraries' functions once each is loaded. Called
// before import tables are read; cheap once both are found.
void FindLibs();

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_STATE_H
