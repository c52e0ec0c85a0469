// The name that heads every text line of a thread: the main executable's
// base name without its extension, in capitals.
#include "control/module_name.h"

#include <string.h>

#include "output/format.h"
#include "platform/os.h"

namespace nq {

void DeriveModuleName(TraceContext *ctx) {
  char *name = ctx->module_name;
  char file[256];
  size_t len = 0;
  if (ctx->module_handle != 0) {
    len = g_os.module_file_name(ctx->module_handle, file, sizeof file);
  }
  // No module, or a name that cannot be had within the buffer: the thread
  // is named by its id instead, so the line still says whose it is.
  if (len == 0) {
    Format(name, kModuleNameSize, "%08X", ctx->thread_id);
    return;
  }
  const char *base = strrchr(file, kPathSeparator);
  base = base ? base + 1 : file;
  const char *dot = strrchr(base, '.');
  size_t n = dot ? static_cast<size_t>(dot - base) : strlen(base);
  if (n > kModuleNameSize - 1) n = kModuleNameSize - 1;
  char upper[kModuleNameSize];
  for (size_t i = 0; i < n; ++i) {
    char c = base[i];
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  // A control character in the file name would start a line of its own.
  PutEscaped(name, kModuleNameSize, upper, n);
}

}  // namespace nq
