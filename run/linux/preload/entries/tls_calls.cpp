// Entries of the POSIX library for the plaintext of TLS sessions: the
// calls of OpenSSL and GnuTLS that move application data, each a line of
// its own with the socket the session runs on and the dump of the
// plaintext, beside the lines of the socket's ciphertext; and the secrets
// of the sessions, in the key log format that packet analysers read.
#include <stddef.h>
#include <sys/types.h>

#include "entries/posix_entries.h"
#include "hooks/hook_common.h"

using namespace nq;

namespace {

// The steps of NQ_TRACE_CALL with the error code given rather than
// captured: a TLS library reports failures in its own terms, which the
// caller turns into errno's, and the program's errno stays as the TLS
// library left it. The record is built only when admission lets something
// of it through: the line, the dump of moved bytes at data, or both.
template <typename Line>
__attribute__((noinline, cold)) void TraceTls(int code, const void *data,
                                              long long moved, Line line) {
  if (!EnterCall(code != 0)) return;
  TraceContext *ctx = CallContext();
  Admission a = AdmitRecord(ctx, TRACE_KIND_CALL, code);
  DumpPiece piece = {data, moved > 0 ? static_cast<size_t>(moved) : 0};
  DumpOf moved_dump = {&piece, 1, piece.size};
  const DumpOf *dump = piece.size != 0 ? &moved_dump : nullptr;
  if (a.write || ShownDump(a, dump) != nullptr) line(ctx, a, dump);
  LeaveCall();
}

// SSL_read, SSL_write and GnuTLS's record calls: what moved is the result.
//   SSL_read(5, 0x7ffd5a10, 16384) returned 120
long long Record(const char *name, long long result, int socket,
                 const void *buf, long long size, int code) {
  TraceTls(code, buf, result < size ? result : size,
           [=](TraceContext *ctx, const Admission &a, const DumpOf *dump) {
             NQ_CALL_RECORD(ctx, a, dump, "%s(%d, 0x%zx, %lld) %s", name,
                            socket, Ptr(buf), size,
                            FormatIntResult(static_cast<ptrdiff_t>(result)));
           });
  return result;
}

// The _ex and early-data forms: what moved comes back through a pointer,
// shown in brackets after a call that succeeded, as the pointer otherwise.
//   SSL_read_ex(5, 0x7ffd5a10, 16384, [120]) returned 1
int Counted(const char *name, int result, int socket, const void *buf,
            size_t num, const size_t *moved, int code) {
  bool done = result > 0 && moved != nullptr;
  size_t count = done ? (*moved < num ? *moved : num) : 0;
  TraceTls(code, buf, static_cast<long long>(count),
           [=](TraceContext *ctx, const Admission &a, const DumpOf *dump) {
             if (done) {
               NQ_CALL_RECORD(ctx, a, dump, "%s(%d, 0x%zx, %zu, [%zu]) %s",
                              name, socket, Ptr(buf), num, *moved,
                              FormatIntResult(result));
             } else {
               NQ_CALL_RECORD(ctx, a, dump, "%s(%d, 0x%zx, %zu, 0x%zx) %s",
                              name, socket, Ptr(buf), num, Ptr(moved),
                              FormatIntResult(result));
             }
           });
  return result;
}

}  // namespace

int NQX_SSL_read(int result, int socket, const void *buf, int num, int code) {
  if (NobodyTraces()) return result;
  return static_cast<int>(Record("SSL_read", result, socket, buf, num, code));
}

int NQX_SSL_write(int result, int socket, const void *buf, int num, int code) {
  if (NobodyTraces()) return result;
  return static_cast<int>(Record("SSL_write", result, socket, buf, num, code));
}

int NQX_BIO_read(int result, int socket, const void *buf, int len, int code) {
  if (NobodyTraces()) return result;
  return static_cast<int>(Record("BIO_read", result, socket, buf, len, code));
}

int NQX_BIO_write(int result, int socket, const void *buf, int len, int code) {
  if (NobodyTraces()) return result;
  return static_cast<int>(Record("BIO_write", result, socket, buf, len, code));
}

int NQX_SSL_read_ex(int result, int socket, const void *buf, size_t num,
                    const size_t *moved, int code) {
  if (NobodyTraces()) return result;
  return Counted("SSL_read_ex", result, socket, buf, num, moved, code);
}

int NQX_SSL_write_ex(int result, int socket, const void *buf, size_t num,
                     const size_t *moved, int code) {
  if (NobodyTraces()) return result;
  return Counted("SSL_write_ex", result, socket, buf, num, moved, code);
}

int NQX_SSL_read_early_data(int result, int socket, const void *buf, size_t num,
                            const size_t *moved, int code) {
  if (NobodyTraces()) return result;
  return Counted("SSL_read_early_data", result, socket, buf, num, moved, code);
}

int NQX_SSL_write_early_data(int result, int socket, const void *buf,
                             size_t num, const size_t *moved, int code) {
  if (NobodyTraces()) return result;
  return Counted("SSL_write_early_data", result, socket, buf, num, moved, code);
}

int NQX_SSL_shutdown(int result, int socket, int code) {
  if (NobodyTraces()) return result;
  TraceTls(code, nullptr, 0,
           [=](TraceContext *ctx, const Admission &a, const DumpOf *) {
             TraceCall(ctx, a, nullptr, "SSL_shutdown(%d) %s", socket,
                       FormatIntResult(result));
           });
  return result;
}

ssize_t NQX_gnutls_record_recv(ssize_t result, int socket, const void *buf,
                               size_t size, int code) {
  if (NobodyTraces()) return result;
  return Record("gnutls_record_recv", result, socket, buf,
                static_cast<long long>(size), code);
}

ssize_t NQX_gnutls_record_send(ssize_t result, int socket, const void *buf,
                               size_t size, int code) {
  if (NobodyTraces()) return result;
  return Record("gnutls_record_send", result, socket, buf,
                static_cast<long long>(size), code);
}

// Admitted as a dump is: written only while the thread's dumps are on.
void NQP_TraceTlsKey(const char *line) {
  if (NobodyTraces() || line == nullptr) return;
  if (!EnterCall(false)) return;
  TraceContext *ctx = CallContext();
  Admission a = AdmitRecord(ctx, TRACE_KIND_DUMP, 0);
  if (a.write && a.dump)
    TraceCall(ctx, a, nullptr, "TLS key log: %s", Escape(line).text);
  LeaveCall();
}
