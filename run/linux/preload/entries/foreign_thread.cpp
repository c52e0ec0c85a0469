// The entries traced on behalf of another process's thread: the launcher's
// system-call path stops a program at its socket calls and hands their
// results and copies of their memory to the entries from a thread of its
// own. The services the library asks who is calling are pointed at that
// thread, so that its context, start banner, line names and elapsed times
// are the ones the interposer would have given it in its own process.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

// Records held back while the traced thread is stopped, written once it
// runs again: each with the append it was handed to.
using Append = int (*)(const char *path, const void *data, size_t size);

struct Held {
  Append append;
  char *path;  // the path and the record's bytes, one block
  size_t size;
};

Append g_append, g_append_owned;  // where held records go
Held *g_held;
size_t g_held_count, g_held_room;

int Hold(Append append, const char *path, const void *data, size_t size) {
  if (g_held_count == g_held_room) {
    size_t more = g_held_room == 0 ? 64 : g_held_room * 2;
    void *grown = realloc(g_held, more * sizeof *g_held);
    if (grown == nullptr) return append(path, data, size);
    g_held = static_cast<Held *>(grown);
    g_held_room = more;
  }
  size_t path_size = strlen(path) + 1;
  char *block = static_cast<char *>(malloc(path_size + size));
  if (block == nullptr) return append(path, data, size);
  memcpy(block, path, path_size);
  memcpy(block + path_size, data, size);
  g_held[g_held_count++] = Held{append, block, size};
  return 1;
}

int HoldForPath(const char *path, const void *data, size_t size) {
  return Hold(g_append, path, data, size);
}

int HoldForOwned(const char *path, const void *data, size_t size) {
  return Hold(g_append_owned, path, data, size);
}

}  // namespace

void NQP_HoldRecords(void) {
  if (nq::g_os.append == HoldForPath) return;
  g_append = nq::g_os.append;
  g_append_owned = nq::g_os.append_owned;
  nq::g_os.append = HoldForPath;
  nq::g_os.append_owned = HoldForOwned;
}

void NQP_WriteHeldRecords(void) {
  for (size_t i = 0; i < g_held_count; ++i) {
    const Held &h = g_held[i];
    size_t path_size = strlen(h.path) + 1;
    h.append(h.path, h.path + path_size, h.size);
    free(h.path);
  }
  g_held_count = 0;
}

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
