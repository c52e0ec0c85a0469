// Loading a DLL into a process that was created suspended: used by
// netquill-run for the program and by the injected DLL for its children.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_REMOTE_LOAD_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_REMOTE_LOAD_H

#include <windows.h>

namespace nqrun {

// Whether process runs on the same machine type as this one: a DLL of one
// bitness cannot be loaded into a process of the other.
bool SameBitness(HANDLE process);

// Writes dll_path into process and queues LoadLibraryW on it to thread, the
// process's main thread, created suspended and not yet resumed. True when
// queued: the DLL loads when the thread is resumed.
bool QueueLoad(HANDLE process, HANDLE thread, const wchar_t *dll_path);

// The name of the event that NQINJECT.DLL sets once loaded into the process
// of that id, when the launcher made one: "Local\NetQuillLoaded-ID".
constexpr int kLoadEventNameSize = 40;
// Writes number in decimal to out, then a terminating null.
void AppendNumber(DWORD number, wchar_t *out);
void LoadEventName(DWORD process_id, wchar_t *name);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_REMOTE_LOAD_H
