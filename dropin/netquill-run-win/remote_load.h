// Loading a DLL into another process that was created suspended: used by
// netquill-run for the program and by the injected DLL for its children.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_REMOTE_LOAD_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_REMOTE_LOAD_H

#include <windows.h>

namespace nqrun {

// Whether process runs on the same machine type as this one: a DLL of one
// bitness cannot be loaded into a process of the other.
bool SameBitness(HANDLE process);

// Writes dll_path into process and loads it there with a thread of its own
// (CreateRemoteThread at LoadLibraryW, which lies at the same address in
// every process of one bitness), waiting until its DllMain has run. True
// when the DLL is loaded.
bool LoadInto(HANDLE process, const wchar_t *dll_path);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_REMOTE_LOAD_H
