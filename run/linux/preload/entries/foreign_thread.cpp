// The entries traced on behalf of another process's thread: the launcher's
// system-call path stops a program at its socket calls and hands their
// results and copies of their memory to the entries from a thread of its
// own. The services the library asks who is calling are pointed at that
// thread, so that its context, start banner, line names and elapsed times
// are the ones the interposer would have given it in its own process.
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include "entries/posix_entries.h"
#include "hooks/hook_common.h"
#include "platform/os.h"

namespace {

unsigned g_thread_id;
int g_process_id;

uint32_t ForeignThreadId() { return g_thread_id; }

uintptr_t ForeignMainModule() { return static_cast<uintptr_t>(g_process_id); }

// The process's executable as /proc shows it now: after an exec, the new
// one.
size_t ForeignModuleFileName(uintptr_t process, char *buf, size_t size) {
  char link[32];
  snprintf(link, sizeof link, "/proc/%lu/exe",
           static_cast<unsigned long>(process));
  if (size == 0) return 0;
  ssize_t n = readlink(link, buf, size - 1);
  if (n <= 0 || static_cast<size_t>(n) >= size - 1) {
    buf[0] = '\0';
    return 0;
  }
  buf[n] = '\0';
  return static_cast<size_t>(n);
}

}  // namespace

void NQP_TraceAsThread(unsigned thread_id, int process_id) {
  const nq::OsServices &native = nq::NativeOsServices();
  g_thread_id = thread_id;
  g_process_id = process_id;
  bool foreign = thread_id != 0;
  nq::g_os.thread_id = foreign ? ForeignThreadId : native.thread_id;
  nq::g_os.main_module = foreign ? ForeignMainModule : native.main_module;
  nq::g_os.module_file_name =
      foreign ? ForeignModuleFileName : native.module_file_name;
}

void NQP_ShowAddressesAs(size_t (*shown)(const void *copy)) {
  nq::g_shown_address = shown;
}
