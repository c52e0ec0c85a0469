#include "hooks/hook_common.h"

#include "output/dump.h"

namespace nq {

void DumpOnly(TraceContext *ctx, const void *data, size_t count) {
  WriteDump(ctx, static_cast<const unsigned char *>(data), count);
}

}  // namespace nq
