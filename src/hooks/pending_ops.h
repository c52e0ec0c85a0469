// The overlapped calls under way that the launcher's entries remember,
// found again by the address of their OVERLAPPED when the program learns
// of their completion: the socket, what the call was, and where its bytes
// lie (the program's buffer list is copied at issue, as it may free the
// list once the call is pending; the bytes are read at completion).
#ifndef NQ_HOOKS_PENDING_OPS_H
#define NQ_HOOKS_PENDING_OPS_H

// A header of the top floor: a file below it must not include it.
#if NQ_FLOOR < 4
#error "src/hooks/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "output/dump.h"

namespace nq {

// The overlapped calls, by the name their completion line gives them.
enum PendingKind : uint8_t {
  kPendingWSASend,
  kPendingWSASendTo,
  kPendingWSARecv,
  kPendingWSARecvFrom,
  kPendingWSASendMsg,
  kPendingWSARecvMsg,
  kPendingAcceptEx,
  kPendingConnectEx,
  kPendingDisconnectEx,
  kPendingTransmitFile,
  kPendingWSAIoctl,
  kPendingTransmitPackets,
  kPendingGetAddrInfoExW,  // a lookup: buffer is where its list goes
};

const char *PendingName(PendingKind kind);

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
};

// Starts a record of the call of kind on socket at ov; not yet
// remembered.
void PendingStart(PendingOp *op, const void *ov, uintptr_t socket,
                  PendingKind kind);
// Room for n buffers in op, which the caller fills; null when no memory is
// left for a long list (op then keeps none).
DumpPiece *PendingPieces(PendingOp *op, uint32_t n);

// Remembers op (any earlier record of the same OVERLAPPED is let go);
// false when the table is full, and op is let go.
bool PendingRemember(PendingOp *op);
// Lets go of any record of ov: the call did not stay pending.
void PendingForget(const void *ov);
// Takes the record of ov out of the table into out; false when none.
// The caller lets it go with PendingRelease after writing it.
bool PendingTake(const void *ov, PendingOp *out);
void PendingRelease(PendingOp *op);

}  // namespace nq

#endif
