#include "output/sink.h"

#include "platform/os.h"

namespace nq {

int AppendRecord(const TraceContext *ctx, const void *data, size_t size) {
  return (ctx->default_path ? g_os.append_owned : g_os.append)(ctx->path, data,
                                                               size);
}

}  // namespace nq
