// The overlapped calls under way that the launcher's entries remember,
// found again by the address of their OVERLAPPED when the program learns
// of their completion: the socket, what the call was, and where its bytes
// lie (the program's buffer list is copied at issue, as it may free the
// list once the call is pending; the bytes are read at completion).
#ifndef NQ_ENTRIES_PENDING_OPS_H
#define NQ_ENTRIES_PENDING_OPS_H

// A header of the entries floor, above the library's: a file below it
// must not include it.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "netquill_calls.h"
#include "output/dump.h"

namespace nq {

// The overlapped calls, by the name their completion line gives them: the
// entries the list says may stay pending (GetAddrInfoExW is a lookup: its
// buffer is where its list goes).
// NQ_PENDS_yes(text) is text, NQ_PENDS_no(text) nothing: a list entry's
// pends column pasted on picks what stands for the calls that pend.
#define NQ_PENDS_yes(...) __VA_ARGS__
#define NQ_PENDS_no(...)
#define NQ_PENDING_KIND(name, bytes, lib, data, pends) \
  NQ_PENDS_##pends(kPending##name, )
enum PendingKind : uint8_t { NQ_WINSOCK2_CALLS(NQ_PENDING_KIND) };
#undef NQ_PENDING_KIND

const char *PendingName(PendingKind kind);

// The most bytes of files a call's dump reads back into memory of the
// program's process; a call that sent more is written without its dump.
constexpr uint64_t kMostFileBytes = 64u << 20;

// TransmitFile's file: the bytes it sends of it start at offset, at most
// count of them (0: up to the file's end).
struct SentFile {
  uintptr_t handle;  // 0: none, the head and tail buffers alone
  uint64_t offset;
  uint32_t count;
  bool known;  // false: where the bytes start is not known
};

// Buffers kept in the record itself; a longer list is copied to the heap.
constexpr size_t kInlinePieces = 4;

struct PendingOp {
  const void *ov;    // the key: the program's OVERLAPPED
  uintptr_t socket;  // the socket the call was made on
  PendingKind kind;
  uint32_t count;     // buffers in pieces
  DumpPiece *pieces;  // inline, or on the heap for a long list
  DumpPiece inline_pieces[kInlinePieces];
  // AcceptEx: the accepted socket, and the buffer's layout, for
  // GetAcceptExSockaddrs. WSARecvFrom: the peer's address and its length.
  uintptr_t accepted;
  void *buffer;
  uint32_t receive_length, local_length, remote_length;
  const void *from;
  const int *from_length;
  SentFile file;  // TransmitFile: its buffers are the head and the tail
  void *kept;     // a block the pieces point into, let go with the record
};

// Starts a record of the call of kind on socket at ov; not yet
// remembered.
void PendingStart(PendingOp *op, const void *ov, uintptr_t socket,
                  PendingKind kind);
// Room for n buffers in op, which the caller fills; null when no memory is
// left for a long list (op then keeps none).
DumpPiece *PendingPieces(PendingOp *op, uint32_t n);

// A completion as the entry that learnt of it saw it.
struct Completion {
  const char *how;  // the call through which the program learnt of it
  bool failed;
  long long bytes;  // moved, when not failed
  int32_t code;     // the program's code, when failed
};

// What became of a record handed to PendingRemember.
enum class Remembered : uint8_t {
  kKept,       // in the table until its completion
  kFull,       // the table is full: op is let go
  kCameFirst,  // its completion came first: op stays the caller's
};

// Remembers op (any earlier record of the same OVERLAPPED is let go). When
// the completion of op's OVERLAPPED was learnt of while the call was being
// issued (another thread dequeued it before the call's entry ran), it is
// taken into *early instead: the caller writes it after the call's line
// and lets op go.
Remembered PendingRemember(PendingOp *op, Completion *early);
// Lets go of any record of ov, and of a completion of ov kept for its
// call: the call did not stay pending, its line holds its bytes.
void PendingForget(const void *ov);
// Takes the record of ov out of the table into out; false when none.
// The caller lets it go with PendingRelease after writing it. When another
// thread is issuing a call on ov, waits first until the call's entry has
// run (at most kIssueWaitMs): the program, once told of the completion,
// may issue ov again and refill its buffers, so the call's line and the
// bytes it reads must come first. Without a record, park (when given) is
// kept for the call's entry if the wait could not be made while some call
// is being issued: the one whose entry has not run yet may be ov's.
bool PendingTake(const void *ov, PendingOp *out,
                 const Completion *park = nullptr);
void PendingRelease(PendingOp *op);

// The longest a completion waits for the entry of its call: a thread the
// program suspended in the call must not hold the completion for good.
constexpr uint32_t kIssueWaitMs = 2000;

// An overlapped call on ov being issued: counted by the launcher's relay
// from just before the system's function (begins) until the call's entry
// ran, ov in a place of its thread's (64 places: a call that finds none
// has its completion kept for its entry instead, when it comes first).
// While none is, a completion without a record is nobody's, and the
// completions kept for entries that never claimed them are let go.
void PendingIssuing(bool begins, const void *ov);

}  // namespace nq

#endif
