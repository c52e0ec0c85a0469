// How the launcher's Windows Sockets 2 entries write their records: a line
// formatted before the call is admitted (these entries run only where the
// launcher traces every thread), with the dump of the bytes the call moved
// through its buffers, and the remembering of an overlapped call that stays
// pending.
#ifndef NQ_ENTRIES_WINSOCK2_RECORD_H
#define NQ_ENTRIES_WINSOCK2_RECORD_H

// A header of the entries floor, above the library's: a file below it
// must not include it.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "entries/pending_ops.h"
#include "output/dump.h"

namespace nq {

// A call's buffers as the system's WSABUF array has them: a 32-bit length,
// then the address, each entry stride bytes.
struct BufferList {
  const void *first;  // the array, or null
  uint32_t count;
  size_t stride;
};

// What a data call moved and where, and how it may complete later.
struct Transfer {
  PendingKind kind;
  uintptr_t socket;
  const void *ov;      // null: not overlapped
  BufferList buffers;  // or one piece:
  const void *data;    // used when buffers.first is null
  size_t data_size;
  const uint32_t *moved;  // where the call wrote its count, or null
  // TransmitFile: its file, whose bytes go between the two buffers.
  const SentFile *file = nullptr;
  // A block of the caller's that buffers point into (TransmitPackets' file
  // bytes): TransferLine takes it over, and lets it go with the record.
  void *kept = nullptr;
};

// The caller's error code now, read through the bridge without a capture:
// for what a line says before it is written.
int32_t CallerCode();

// The line text of a call with no data, admitted with the caller's code.
void PlainLine(bool failed, const char *text);

// The line of a data call and the dump of what it moved at once (the count
// the call wrote, else its OVERLAPPED's); remembers it when it stays
// pending (WSA_IO_PENDING). op, when given, is the pending record started
// by the caller with what else its completion needs (AcceptEx, ConnectEx);
// it is let go here in every case.
void TransferLine(bool failed, const Transfer &t, const char *text,
                  PendingOp *op = nullptr);

// The completion of the overlapped call at ov, learnt through the call
// named how: bytes moved, or failed with code. Nothing for an OVERLAPPED
// that no traced call left pending.
void CompletionLine(const char *how, const void *ov, bool failed,
                    long long bytes, int32_t code);

// The same for a call that reports the outcome through the caller's error
// code: ok with bytes, or failed with the code the call left, unless that
// code is one of the n in waiting (the call is still under way: the
// record stays).
void CompletionOfCall(const char *how, const void *ov, bool ok, long long bytes,
                      const int32_t *waiting, size_t n);

// The addresses of the ADDRINFOEXW list a lookup wrote at *result, as
// " (127.0.0.1:80, [::1]:80)" at p, before end; returns the new end of
// the text. With the lookups' other lines, in hooks_completion.cpp.
char *AppendLookupAddresses(char *p, char *end, const void *result);

}  // namespace nq

#endif
