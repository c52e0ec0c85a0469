// The table of overlapped calls under way: open addressing over a fixed
// array, keyed by the OVERLAPPED's address, under the library lock. A
// program has one record per call it has pending; the table's size bounds
// what is remembered, never what the program may do.
#include "hooks/pending_ops.h"

#include <string.h>

#include <atomic>

#include "platform/os.h"

namespace nq {
namespace {

constexpr size_t kSlots = 4096;  // a power of two
PendingOp g_slots[kSlots];       // ov null: free
// Records in the table: a program's completion calls also dequeue its file
// and timer completions, which find an empty table without the lock.
std::atomic<size_t> g_used{0};

// Completions learnt of before their call's record existed, kept for the
// call's entry, under the lock. A ring: when every place is taken the
// oldest goes, most likely a file's or a timer's that no entry claims.
constexpr size_t kParked = 32;
struct Parked {
  const void *ov;  // null: free
  Completion completion;
};
Parked g_parked[kParked];
size_t g_park_next;  // the place the next one takes
std::atomic<size_t> g_parked_count{0};
std::atomic<long> g_issuing{0};  // calls between the system's and their entry

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

// The place of ov's kept completion, or kParked. Under the lock.
size_t ParkedAt(const void *ov) {
  if (g_parked_count.load(std::memory_order_relaxed) == 0) return kParked;
  for (size_t i = 0; i < kParked; ++i)
    if (g_parked[i].ov == ov) return i;
  return kParked;
}

void Unpark(size_t i) {
  g_parked[i].ov = nullptr;
  g_parked_count.fetch_sub(1, std::memory_order_relaxed);
}

void Park(const void *ov, const Completion &c) {
  size_t i = ParkedAt(ov);
  if (i == kParked) {
    i = g_park_next;
    g_park_next = (g_park_next + 1) % kParked;
    if (g_parked[i].ov == nullptr)
      g_parked_count.fetch_add(1, std::memory_order_relaxed);
  }
  g_parked[i] = Parked{ov, c};
}

}  // namespace

const char *PendingName(PendingKind kind) {
  static const char *const kNames[] = {
      "WSASend",      "WSASendTo",    "WSARecv",  "WSARecvFrom",
      "WSASendMsg",   "WSARecvMsg",   "AcceptEx", "ConnectEx",
      "DisconnectEx", "TransmitFile", "WSAIoctl",
  };
  return kNames[kind];
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
  op->pieces = op->inline_pieces;
  op->count = 0;
}

Remembered PendingRemember(PendingOp *op, Completion *early) {
  LockEnter();
  Remembered what = Remembered::kCameFirst;
  size_t parked = ParkedAt(op->ov);
  size_t i = parked == kParked ? Find(op->ov) : kSlots;
  if (parked != kParked) {
    *early = g_parked[parked].completion;
    Unpark(parked);
  } else if (i == kSlots) {
    what = Remembered::kFull;
  } else {
    if (g_slots[i].ov != nullptr)
      PendingRelease(&g_slots[i]);
    else
      g_used.fetch_add(1, std::memory_order_release);
    Move(&g_slots[i], *op);
    what = Remembered::kKept;
  }
  LockLeave();
  if (what == Remembered::kFull) PendingRelease(op);
  return what;
}

namespace {

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

bool PendingTake(const void *ov, PendingOp *out, const Completion *park) {
  if (ov == nullptr) return false;
  bool parks = park != nullptr && g_issuing.load(std::memory_order_acquire) > 0;
  if (!parks && g_used.load(std::memory_order_acquire) == 0) return false;
  LockEnter();
  bool found = TakeLocked(ov, out);
  if (!found && parks) Park(ov, *park);
  LockLeave();
  return found;
}

void PendingForget(const void *ov) {
  if (ov == nullptr || (g_used.load(std::memory_order_acquire) == 0 &&
                        g_parked_count.load(std::memory_order_acquire) == 0))
    return;
  PendingOp op;
  LockEnter();
  bool found = TakeLocked(ov, &op);
  size_t parked = ParkedAt(ov);
  if (parked != kParked) Unpark(parked);
  LockLeave();
  if (found) PendingRelease(&op);
}

void PendingIssuing(bool begins) {
  if (begins) {
    g_issuing.fetch_add(1, std::memory_order_seq_cst);
    return;
  }
  if (g_issuing.fetch_sub(1, std::memory_order_acq_rel) != 1 ||
      g_parked_count.load(std::memory_order_acquire) == 0)
    return;
  // No call is being issued: what is kept now, no entry will claim (a
  // completion kept later, under the lock, is of a call begun since).
  LockEnter();
  bool none = g_issuing.load(std::memory_order_acquire) == 0;
  for (size_t i = 0; none && i < kParked; ++i)
    if (g_parked[i].ov != nullptr) Unpark(i);
  LockLeave();
}

}  // namespace nq
