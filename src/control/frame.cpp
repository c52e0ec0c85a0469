// The library frame: attach, detach and the version query.
#include "control/frame.h"

#include "control/version.h"
#include "core/context.h"
#include "core/thread_state.h"
#include "hooks/formatters.h"
#include "netquill.h"
#include "output/dump.h"
#include "platform/os.h"

namespace nq {

bool LibraryAttach() {
  if (!ThreadStatesCreate(sizeof(FormatterTexts), ThreadEnding)) return false;
  LockCreate();
  ReadFileSizeLimit();
  UseTableDump(false);
  return true;
}

void LibraryDetach(bool give_back) {
  if (give_back) FreeAllContexts();
  LockDelete();
  ThreadBlocksDelete(give_back);
}

void ThreadEnding() {
  FreeEndingThreadContext();
  ReleaseThisThread();
}

}  // namespace nq

NQ_HRESULT NQ_CALL DllGetVersion(NQ_DLLVERSIONINFO *info) {
  if (info == nullptr) return NQ_VERSION_BAD_POINTER;
  if (info->cbSize != sizeof(NQ_DLLVERSIONINFO)) return NQ_VERSION_BAD_ARGUMENT;
  info->dwMajorVersion = NQ_VERSION_MAJOR;
  info->dwMinorVersion = NQ_VERSION_MINOR;
  info->dwBuildNumber = NQ_VERSION_BUILD;
  info->dwPlatformID = NQ_VERSION_PLATFORM;
  return NQ_VERSION_OK;
}
