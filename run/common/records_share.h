// The memory netquill-run shares with the processes it traces for their
// records: where the records go, then the ring they are put in
// (record_ring.h). On Linux a memory file sealed against any change of
// size, as the lost count is, so that a number the program reused for a
// file of its own is never taken for it; on Windows a section backed by
// the paging file, under a name no other run shares. The count of records
// the processes could not write lives here too, so that sharing records
// costs the program no descriptor of its own for it.
#ifndef NQ_RUN_COMMON_RECORDS_SHARE_H
#define NQ_RUN_COMMON_RECORDS_SHARE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "decimal_text.h"
#include "lost_count.h"
#include "record_ring.h"

namespace nqring {

constexpr char kShareMagic[8] = {'N', 'Q', '-', 'R', 'E', 'C', 'S', '1'};

// A write of the launcher's of records it has not yet given back to the
// ring: noted before the write, so that whoever takes over from a launcher
// killed in between can tell what the file holds already
// (written_parts.h).
struct WrittenPart {
  std::uint64_t from;  // the ring's `released` then: stale once it moved
  std::uint32_t key;   // the file: the records' process with per_process
  std::uint32_t unused;
  std::uint64_t at;     // where in the file the write went
  std::uint64_t bytes;  // what it added
};

constexpr std::uint32_t kWrittenParts = 256;

struct alignas(64) RecordsShare {
  char magic[8];
  // Each record goes to path, or with per_process to path.PID, the
  // process id being the one the record carries.
  std::uint32_t per_process;
  std::uint32_t unused;
  char path[256];
  NQP_LostRecords lost;  // as the launcher's lost count, laid out alike
  // The Linux launcher's keeper, which writes what the ring holds once the
  // launcher is gone, leaving out what the launcher wrote; 0 before it runs.
  std::atomic<std::uint32_t> keeper_pid;
  // The parts noted since the ring's last release; past kWrittenParts
  // they are no longer all known.
  std::atomic<std::uint32_t> written_parts;
  // Set by the Windows launcher's reader before it waits for the event
  // named after the section with kWakeSuffix, found the ring empty: the
  // writer that clears it sets the event.
  std::atomic<std::uint32_t> reader_asleep;
  std::uint32_t unused_too;
  WrittenPart written[kWrittenParts];
};

// The 32-bit and 64-bit builds share it: the same layout, 8-byte fields
// at offsets that are multiples of 8 in both.
static_assert(offsetof(RecordsShare, written) % 8 == 0 &&
                  offsetof(RecordsShare, lost) % 8 == 0,
              "a share laid out alike by every build");

constexpr char kWakeSuffix[] = "-wake";

// The file a record of process pid goes to: the share's path, with
// per_process ".PID" after it, into out (sizeof share.path + 16 bytes).
inline void RecordPath(const RecordsShare &share, std::uint32_t pid,
                       char *out) {
  std::size_t n = 0;
  while (n < sizeof share.path - 1 && share.path[n] != '\0') {
    out[n] = share.path[n];
    ++n;
  }
  if (share.per_process != 0) {
    out[n++] = '.';
    n += static_cast<std::size_t>(nqdrop::DecimalText(pid, out + n));
  }
  out[n] = '\0';
}

// The ring of records right after the share.
inline void *RingOf(RecordsShare *share) { return share + 1; }

// The sizes of the launcher's share: a 4 MiB ring, room for 1,024 threads
// writing at once.
constexpr std::uint32_t kShareRingBytes = 4u << 20;
constexpr std::uint32_t kShareWriters = 1024;

inline std::size_t ShareBytes() {
  return sizeof(RecordsShare) + RingBytes(kShareRingBytes, kShareWriters);
}

}  // namespace nqring

#endif  // NQ_RUN_COMMON_RECORDS_SHARE_H
