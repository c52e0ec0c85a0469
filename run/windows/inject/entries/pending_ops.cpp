// The table of overlapped calls under way: open addressing over a fixed
// array, keyed by the OVERLAPPED's address, under the library lock. A
// program has one record per call it has pending; the table's size bounds
// what is remembered, never what the program may do.
#include "entries/pending_ops.h"

#include <string.h>
#include <windows.h>

#include <atomic>

#include "core/thread_state.h"
#include "platform/os.h"

namespace nq {
namespace {

constexpr size_t kSlots = 4096;  // a power of two
PendingOp g_slots[kSlots];       // ov null: free
// Records in the table: a program's completion calls also dequeue its file
// and timer completions, which find an empty table without the lock.
std::atomic<size_t> g_used{0};

std::atomic<long> g_issuing{0};    // calls between the system's and their entry
std::atomic<uint32_t> g_begun{0};  // calls ever begun being issued

// The OVERLAPPEDs of the calls being issued, a place each (null: free),
// taken with one compare-and-swap and given back by clearing it, so that a
// thread that learns of a completion finds whether its call's entry is
// still to run.
constexpr size_t kIssuePlaces = 64;
std::atomic<const void *> g_issued[kIssuePlaces];

// Waits until the call another thread is issuing on ov has run its entry;
// true when there was one and it did in time.
bool AwaitIssued(const void *ov) {
  ThreadState *ts = ThisThread();
  size_t own = ts != nullptr ? ts->issue_place : 0;
  for (size_t p = 0; p < kIssuePlaces; ++p) {
    if (p + 1 == own || g_issued[p].load(std::memory_order_acquire) != ov)
      continue;
    uint32_t start = g_os.tick_ms();
    for (unsigned tries = 0; g_issued[p].load(std::memory_order_acquire) == ov;
         ++tries) {
      if (g_os.tick_ms() - start >= kIssueWaitMs) return false;
      // The call's thread is a few steps from its entry: give it the
      // processor, then, if it does not get there, sleep.
      Sleep(tries < 64 ? 0 : 1);
    }
    return true;
  }
  return false;
}

// Completions learnt of before their call's record existed, kept for the
// call's entry, under the lock. A ring: when every place is taken the
// oldest goes, most likely a file's or a timer's that no entry claims.
// Only a call that began before a completion was kept may claim it: a
// later call on the same OVERLAPPED is another. Out of line, so that the
// ring is reached through one address.
constexpr size_t kParked = 32;
class Parking {
 public:
  // How many are kept, read without the lock.
  size_t count() const { return count_.load(std::memory_order_acquire); }
  // Keeps ov's completion, kept when g_begun was stamp.
  __attribute__((noinline, noclone)) void Keep(const void *ov, uint32_t stamp,
                                               const Completion &c) {
    size_t i = At(ov);
    if (i == kParked) {
      i = next_;
      next_ = (next_ + 1) % kParked;
      if (kept_[i].ov == nullptr)
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    kept_[i] = Kept{ov, stamp, c};
  }
  // Lets go of ov's completion; true, and the completion in out, when it
  // was kept since g_begun was since (out null: none is claimed).
  __attribute__((noinline, noclone)) bool Claim(const void *ov, uint32_t since,
                                                Completion *out) {
    size_t i = At(ov);
    if (i == kParked) return false;
    bool claimed =
        out != nullptr && static_cast<int32_t>(kept_[i].stamp - since) >= 0;
    if (claimed) *out = kept_[i].completion;
    Free(i);
    return claimed;
  }
  __attribute__((noinline, noclone)) void Clear() {
    for (size_t i = 0; i < kParked; ++i)
      if (kept_[i].ov != nullptr) Free(i);
  }

 private:
  size_t At(const void *ov) const {
    for (size_t i = 0; count() != 0 && i < kParked; ++i)
      if (kept_[i].ov == ov) return i;
    return kParked;
  }
  void Free(size_t i) {
    kept_[i].ov = nullptr;
    count_.fetch_sub(1, std::memory_order_relaxed);
  }

  struct Kept {
    const void *ov;  // null: free
    uint32_t stamp;
    Completion completion;
  };
  Kept kept_[kParked];
  size_t next_;  // the place the next one takes
  std::atomic<size_t> count_;
};
Parking g_parking;

size_t Home(const void *ov) {
  uint64_t key = reinterpret_cast<uintptr_t>(ov);
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 40) &
         (kSlots - 1);
}

// The slot of ov, or of the free slot where it would go; kSlots when the
// table is full and ov not in it. Called under the lock.
size_t Find(const void *ov) {
  size_t i = Home(ov);
  for (size_t probes = 0; probes < kSlots; ++probes) {
    if (g_slots[i].ov == ov || g_slots[i].ov == nullptr) return i;
    i = (i + 1) & (kSlots - 1);
  }
  return kSlots;
}

// Empties slot i and moves the records after it that belong before it
// back, so that every record stays reachable from its home slot.
void Remove(size_t i) {
  g_slots[i].ov = nullptr;
  size_t j = i;
  for (;;) {
    j = (j + 1) & (kSlots - 1);
    if (g_slots[j].ov == nullptr) return;
    size_t home = Home(g_slots[j].ov);
    // j's record may move to i when its home is not within (i, j].
    bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    g_slots[i] = g_slots[j];
    if (g_slots[i].pieces == g_slots[j].inline_pieces)
      g_slots[i].pieces = g_slots[i].inline_pieces;
    g_slots[j].ov = nullptr;
    i = j;
  }
}

void Move(PendingOp *to, const PendingOp &from) {
  *to = from;
  if (from.pieces == from.inline_pieces) to->pieces = to->inline_pieces;
}

// Takes the record of ov into out, under the lock; false when none.
bool TakeLocked(const void *ov, PendingOp *out) {
  size_t i = Find(ov);
  if (i == kSlots || g_slots[i].ov != ov) return false;
  Move(out, g_slots[i]);
  Remove(i);
  g_used.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

}  // namespace

const char *PendingName(PendingKind kind) {
  switch (kind) {
#define NQ_PENDING_NAME(name, bytes, lib, data, pends) \
  NQ_PENDS_##pends(case kPending##name : return #name;)
    NQ_WINSOCK2_CALLS(NQ_PENDING_NAME)
#undef NQ_PENDING_NAME
  }
  return "";
}

void PendingStart(PendingOp *op, const void *ov, uintptr_t socket,
                  PendingKind kind) {
  memset(op, 0, sizeof *op);
  op->ov = ov;
  op->socket = socket;
  op->kind = kind;
  op->pieces = op->inline_pieces;
}

DumpPiece *PendingPieces(PendingOp *op, uint32_t n) {
  if (n > kInlinePieces) {
    void *block = g_os.alloc(n * sizeof(DumpPiece));
    if (block == nullptr) return nullptr;
    op->pieces = static_cast<DumpPiece *>(block);
  }
  op->count = n;
  return op->pieces;
}

void PendingRelease(PendingOp *op) {
  if (op->pieces != op->inline_pieces && op->pieces != nullptr)
    g_os.release(op->pieces);
  g_os.release(op->kept);
  op->pieces = op->inline_pieces;
  op->kept = nullptr;
  op->count = 0;
}

Remembered PendingRemember(PendingOp *op, Completion *early) {
  LockEnter();
  Remembered what = Remembered::kCameFirst;
  ThreadState *ts = ThisThread();
  if (!g_parking.Claim(op->ov, ts != nullptr ? ts->issue_stamp : 0, early)) {
    size_t i = Find(op->ov);
    if (i == kSlots) {
      what = Remembered::kFull;
    } else {
      if (g_slots[i].ov != nullptr)
        PendingRelease(&g_slots[i]);
      else
        g_used.fetch_add(1, std::memory_order_release);
      Move(&g_slots[i], *op);
      what = Remembered::kKept;
    }
  }
  LockLeave();
  if (what == Remembered::kFull) PendingRelease(op);
  return what;
}

bool PendingTake(const void *ov, PendingOp *out, const Completion *park) {
  if (ov == nullptr) return false;
  bool parks = park != nullptr &&
               g_issuing.load(std::memory_order_acquire) > 0 &&
               !AwaitIssued(ov);
  if (!parks && g_used.load(std::memory_order_acquire) == 0) return false;
  LockEnter();
  bool found = TakeLocked(ov, out);
  if (!found && parks)
    g_parking.Keep(ov, g_begun.load(std::memory_order_acquire), *park);
  LockLeave();
  return found;
}

void PendingForget(const void *ov) {
  if (ov == nullptr ||
      (g_used.load(std::memory_order_acquire) == 0 && g_parking.count() == 0))
    return;
  PendingOp op;
  LockEnter();
  bool found = TakeLocked(ov, &op);
  g_parking.Claim(ov, 0, nullptr);
  LockLeave();
  if (found) PendingRelease(&op);
}

void PendingIssuing(bool begins, const void *ov) {
  ThreadState *ts = ThisThread();
  if (begins) {
    uint32_t stamp = g_begun.fetch_add(1, std::memory_order_seq_cst) + 1;
    if (ts != nullptr) {
      ts->issue_stamp = stamp;
      for (size_t i = 0; ts->issue_place == 0 && i < kIssuePlaces; ++i) {
        size_t p = (stamp + i) % kIssuePlaces;
        const void *none = nullptr;
        if (g_issued[p].load(std::memory_order_relaxed) == nullptr &&
            g_issued[p].compare_exchange_strong(none, ov))
          ts->issue_place = static_cast<uint32_t>(p + 1);
      }
    }
    g_issuing.fetch_add(1, std::memory_order_seq_cst);
    return;
  }
  if (ts != nullptr && ts->issue_place != 0) {
    g_issued[ts->issue_place - 1].store(nullptr, std::memory_order_seq_cst);
    ts->issue_place = 0;
  }
  if (g_issuing.fetch_sub(1, std::memory_order_acq_rel) != 1 ||
      g_parking.count() == 0)
    return;
  // No call is being issued: what is kept now, no entry will claim (a
  // completion kept later, under the lock, is of a call begun since).
  LockEnter();
  if (g_issuing.load(std::memory_order_acquire) == 0) g_parking.Clear();
  LockLeave();
}

}  // namespace nq
