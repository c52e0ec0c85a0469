// The entries netquill-run -p calls inside a running process, right after
// it made the process load this interposer.
#include <link.h>
#include <string.h>

#include "attach_params.h"
#include "got_redirect.h"
#include "netquill.h"
#include "preload_state.h"

namespace nqrun {
namespace {

struct LoadOrder {
  ElfW(Addr) self;  // this interposer's base
  ElfW(Addr) clib;  // the C library's
  bool self_first;  // met before the C library
  bool clib_seen;
};

int Order(dl_phdr_info *info, size_t, void *data) {
  LoadOrder *order = static_cast<LoadOrder *>(data);
  if (info->dlpi_addr == order->clib) order->clib_seen = true;
  if (info->dlpi_addr == order->self && !order->clib_seen)
    order->self_first = true;
  return 0;
}

ElfW(Addr) BaseOf(const void *address) {
  Dl_info where;
  return dladdr(address, &where) != 0
             ? reinterpret_cast<ElfW(Addr)>(where.dli_fbase)
             : 0;
}

// A preloaded interposer comes before the C library in the load order;
// one loaded into a running process, after it.
bool Preloaded() {
  static char self;
  LoadOrder order = {BaseOf(&self), BaseOf(NextSymbol("socket")), false, false};
  dl_iterate_phdr(Order, &order);
  return order.self_first;
}

}  // namespace
}  // namespace nqrun

extern "C" {

NQ_EXPORT int NQR_Attach(const nqrun::AttachParams *params) {
  if (params->size != sizeof(nqrun::AttachParams))
    return nqrun::kAttachMismatch;
  if (nqrun::Preloaded()) return nqrun::kAttachPreloaded;
  // One session at a time: a second launcher would take the first one's
  // records, and end them with its own detach.
  if (nqrun::Attached() && nqrun::AttachedLauncherLives())
    return nqrun::kAttachBusy;
  nqrun::Configure(*params);
  nqrun::RedirectModules();
  return nqrun::kAttached;
}

NQ_EXPORT int NQR_Detach(void) {
  nqrun::Unconfigure();
  nqrun::RestoreModules();
  return 0;
}

}  // extern "C"
