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

// Marks path's file as cut; returns 0, the result of a record that did
// not reach the file whole.
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

// Ends the cut line of the file at hash, if there is one; false while it
// stays cut. Threads that meet the mark at once may each end it: an empty
// line, never two records on one.
bool EndCutLine(int (*append)(const char *, const void *, size_t),
                const char *path, uint32_t hash) {
  for (auto &entry : g_cut_files) {
    if (entry.load() != hash) continue;
    if (append(path, "\r\n", 2) != 1) return false;
    uint32_t expected = hash;
    if (entry.compare_exchange_strong(expected, 0)) g_cut_count.fetch_sub(1);
  }
  return true;
}

}  // namespace

int AppendRecord(const TraceContext *ctx, const void *data, size_t size) {
  auto append = ctx->default_path ? g_os.append_owned : g_os.append;
  if (g_cut_count.load(std::memory_order_relaxed) != 0 &&
      !EndCutLine(append, ctx->path, PathHash(ctx->path))) {
    return 0;
  }
  int written = append(ctx->path, data, size);
  return __builtin_expect(written < 0, 0) ? MarkCut(ctx->path) : written;
}

}  // namespace nq
