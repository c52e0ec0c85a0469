#include "output/sink.h"

#include <atomic>

#include "platform/os.h"

namespace nq {
namespace {

// Files whose last append from this process went out in part (a full
// disk), known by a hash of their path: the next record this process
// appends there first ends the cut line, so that it starts a line of its
// own. Checked with one load while there are none.
constexpr int kCutFiles = 8;
std::atomic<int> g_cut_count{0};
std::atomic<uint32_t> g_cut_files[kCutFiles];

uint32_t PathHash(const char *path) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (; *path != '\0'; ++path) {
    h = (h ^ static_cast<unsigned char>(*path)) * 16777619u;
  }
  return h | 1;  // never 0, the mark of a free entry
}

int Append(const TraceContext *ctx, const void *data, size_t size) {
  return (ctx->default_path ? g_os.append_owned : g_os.append)(ctx->path, data,
                                                               size);
}

}  // namespace

// Ends the cut line of ctx's file, if it has one, then appends the record.
// Threads that meet the mark at once may each end the line: an empty line,
// never two records on one. Not local, so that the call passes its
// arguments on the stack where the caller's already lie.
__attribute__((noinline)) int AppendAfterCut(const TraceContext *ctx,
                                             const void *data, size_t size) {
  uint32_t hash = PathHash(ctx->path);
  for (auto &entry : g_cut_files) {
    if (entry.load() != hash) continue;
    if (Append(ctx, "\r\n", 2) != 1) return 0;  // still cut: dropped
    uint32_t expected = hash;
    if (entry.compare_exchange_strong(expected, 0)) g_cut_count.fetch_sub(1);
  }
  return Append(ctx, data, size);
}

int MarkCut(const char *path) {
  uint32_t hash = PathHash(path);
  for (auto &entry : g_cut_files) {
    uint32_t free_entry = 0;
    if (entry.load() == hash) return 0;
    if (entry.compare_exchange_strong(free_entry, hash)) {
      g_cut_count.fetch_add(1);
      return 0;
    }
  }
  return 0;
}

int AppendPart(const TraceContext *ctx, const void *data, size_t size) {
  if (__builtin_expect(g_cut_count.load(std::memory_order_relaxed) != 0, 0)) {
    return AppendAfterCut(ctx, data, size);
  }
  return Append(ctx, data, size);
}

}  // namespace nq
