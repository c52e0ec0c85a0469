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

}  // namespace

const char *PendingName(PendingKind kind) {
  static const char *const kNames[] = {
      "WSASend",        "WSASendTo",    "WSARecv",  "WSARecvFrom",
      "WSASendMsg",     "WSARecvMsg",   "AcceptEx", "ConnectEx",
      "DisconnectEx",   "TransmitFile", "WSAIoctl", "TransmitPackets",
      "GetAddrInfoExW",
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

bool PendingRemember(PendingOp *op) {
  LockEnter();
  size_t i = Find(op->ov);
  bool taken = i != kSlots;
  if (taken) {
    if (g_slots[i].ov != nullptr)
      PendingRelease(&g_slots[i]);
    else
      g_used.fetch_add(1, std::memory_order_release);
    Move(&g_slots[i], *op);
  }
  LockLeave();
  if (!taken) PendingRelease(op);
  return taken;
}

bool PendingTake(const void *ov, PendingOp *out) {
  if (ov == nullptr || g_used.load(std::memory_order_acquire) == 0)
    return false;
  LockEnter();
  size_t i = Find(ov);
  bool found = i != kSlots && g_slots[i].ov == ov;
  if (found) {
    Move(out, g_slots[i]);
    Remove(i);
    g_used.fetch_sub(1, std::memory_order_relaxed);
  }
  LockLeave();
  return found;
}

void PendingForget(const void *ov) {
  PendingOp op;
  if (PendingTake(ov, &op)) PendingRelease(&op);
}

}  // namespace nq
