// The TLS libraries' calls that move plaintext, interposed: OpenSSL's
// SSL_read, SSL_write, their _ex and early-data forms and SSL_shutdown, and
// GnuTLS's gnutls_record_recv and gnutls_record_send, each handed to the
// library with the socket its session runs on. The socket's own calls,
// made inside the TLS library, are traced as ever, with the ciphertext.
//
// No TLS library is linked or loaded here: the real functions, and the
// ones that name a session's socket, are looked up (TlsSymbol) at a
// program's first call of each, so a program that makes no TLS call pays
// nothing. The types stay opaque; only the few numbers used are spelled
// out below, the same in OpenSSL 1.1 and 3.
#include <errno.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>

#include "entries/posix_entries.h"
#include "interposer.h"
#include "tls_library.h"

namespace {

// OpenSSL's SSL_get_error codes that this file tells apart.
constexpr int kSslErrorNone = 0;
constexpr int kSslErrorSsl = 1;
constexpr int kSslErrorSyscall = 5;
constexpr int kSslErrorZeroReturn = 6;

// OpenSSL's SSL BIO, BIO_f_ssl: a filter (0x0200) of type 7.
constexpr int kBioTypeSsl = 7 | 0x0200;
constexpr int kBioGetSsl = 110;  // BIO_C_GET_SSL, as BIO_get_ssl asks it

// GnuTLS's codes of a call to be made again.
constexpr ssize_t kGnutlsAgain = -28;
constexpr ssize_t kGnutlsInterrupted = -52;

using SslFn = int (*)(const nqrun::Ssl *);

// The socket each session's bytes went through during one of its own
// calls, for the calls that make none (a read the library answers from
// what it read before). Sessions are not told when they end: a new one at
// a freed one's address names its own socket from its first call that
// moves bytes on.
struct SeenSocket {
  std::atomic<const void *> session;
  std::atomic<int> fd_plus_one;  // 0: none seen yet
};
constexpr size_t kSeenSockets = 256;
SeenSocket g_seen[kSeenSockets];

int SeenDuring(const void *session, int during) {
  if (session == nullptr) return during;
  size_t at = (reinterpret_cast<uintptr_t>(session) >> 4) % kSeenSockets;
  for (size_t i = 0; i < kSeenSockets; ++i) {
    SeenSocket &e = g_seen[(at + i) % kSeenSockets];
    const void *key = e.session.load(std::memory_order_acquire);
    if (key == nullptr) {
      if (during < 0) return -1;
      if (!e.session.compare_exchange_strong(key, session) && key != session)
        continue;
    } else if (key != session) {
      continue;
    }
    if (during >= 0) {
      e.fd_plus_one.store(during + 1, std::memory_order_relaxed);
      return during;
    }
    return e.fd_plus_one.load(std::memory_order_relaxed) - 1;
  }
  return during;  // the table is full: known only during the call
}

// Marks the start of a TLS call: the data calls made inside it say which
// socket its session runs on.
void BeginTlsCall() {
  nqrun::EnterSocketCall();
  nqrun::NoteDataSocket(-1);
}

// The socket a session's library names, else the one its bytes went
// through during this call or an earlier one of the session: a program
// with a transport of its own (curl) hands the TLS library no descriptor.
// A session whose bytes never pass a socket inside its calls (a memory
// BIO, as asyncio's) names none: -1.
int Named(const void *session, int fd) {
  return fd >= 0 ? fd : SeenDuring(session, nqrun::t_data_socket);
}

int SessionSocket(const nqrun::Ssl *ssl) {
  static const auto fd =
      reinterpret_cast<SslFn>(nqrun::TlsSymbol("SSL_get_fd"));
  return Named(ssl, fd != nullptr && ssl != nullptr ? fd(ssl) : -1);
}

int ReadSocket(const nqrun::Ssl *ssl) {
  static const auto fd =
      reinterpret_cast<SslFn>(nqrun::TlsSymbol("SSL_get_rfd"));
  return Named(ssl, fd != nullptr && ssl != nullptr ? fd(ssl) : -1);
}

int WriteSocket(const nqrun::Ssl *ssl) {
  static const auto fd =
      reinterpret_cast<SslFn>(nqrun::TlsSymbol("SSL_get_wfd"));
  return Named(ssl, fd != nullptr && ssl != nullptr ? fd(ssl) : -1);
}

// The error code of an OpenSSL call that returned result, in errno's
// terms: 0 for success and for a session the peer closed cleanly; EAGAIN
// for every SSL_ERROR_WANT_*, a call to be made again; the system's errno
// for a failed system call; EPROTO for a failure of the protocol (and an
// end without the peer's close). SSL_get_error only reads the thread's
// error queue, and errno is left as it was.
int SslCode(const nqrun::Ssl *ssl, int result) {
  if (result > 0) return 0;
  using GetError = int (*)(const nqrun::Ssl *, int);
  static const auto get_error =
      reinterpret_cast<GetError>(nqrun::TlsSymbol("SSL_get_error"));
  int saved = errno;
  int e = get_error != nullptr ? get_error(ssl, result) : kSslErrorSsl;
  switch (e) {
    case kSslErrorNone:
    case kSslErrorZeroReturn:
      return 0;
    case kSslErrorSyscall:
      return saved != 0 ? saved : EPROTO;
    case kSslErrorSsl:
      return EPROTO;
    default:
      return EAGAIN;
  }
}

// The same for GnuTLS: 0 for data and for the end of the session (0).
int GnutlsCode(ssize_t result) {
  if (result >= 0) return 0;
  if (result == kGnutlsAgain) return EAGAIN;
  if (result == kGnutlsInterrupted) return EINTR;
  return EPROTO;
}

// The descriptor GnuTLS reads from (recv) or writes to: set by the program
// with gnutls_transport_set_int, or as a pointer that holds it.
int GnutlsSocket(nqrun::GnutlsSession session, bool recv) {
  using GetInt2 = void (*)(nqrun::GnutlsSession, int *, int *);
  static const auto get =
      reinterpret_cast<GetInt2>(nqrun::TlsSymbol("gnutls_transport_get_int2"));
  int in = -1, out = -1;
  if (get != nullptr && session != nullptr) get(session, &in, &out);
  return Named(session, recv ? in : out);
}

// The session an SSL BIO reads and writes; null for every other BIO (the
// socket BIOs libssl itself reads and writes through included).
nqrun::Ssl *SessionOf(nqrun::Bio *bio) {
  using MethodType = int (*)(const nqrun::Bio *);
  using Ctrl = long (*)(nqrun::Bio *, int, long, void *);
  static const auto type =
      reinterpret_cast<MethodType>(nqrun::TlsSymbol("BIO_method_type"));
  static const auto ctrl = reinterpret_cast<Ctrl>(nqrun::TlsSymbol("BIO_ctrl"));
  if (bio == nullptr || type == nullptr || ctrl == nullptr ||
      type(bio) != kBioTypeSsl)
    return nullptr;
  nqrun::Ssl *ssl = nullptr;
  ctrl(bio, kBioGetSsl, 0, &ssl);
  return ssl;
}

using SizedHook = int (*)(int, int, const void *, size_t, const size_t *, int);

// The calls that say in *moved how many bytes they moved: the library's
// call, then its line on the socket the session reads or writes through.
template <typename Real, typename Buf>
int SizedCall(Real real, nqdrop::TracedCall call, SizedHook hook,
              int (*socket_of)(const nqrun::Ssl *), nqrun::Ssl *ssl, Buf buf,
              size_t num, size_t *moved) {
  BeginTlsCall();
  int r = real(ssl, buf, num, moved);
  if (nqrun::Detached() || !nqrun::Selected(call)) return r;
  int code = SslCode(ssl, r);
  nqrun::LibraryScope scope;
  return hook(r, socket_of(ssl), buf, num, moved, code);
}

}  // namespace

extern "C" {

NQ_EXPORT int SSL_read(nqrun::Ssl *ssl, void *buf, int num) {
  NQ_REAL_TLS(SSL_read);
  BeginTlsCall();
  int r = real(ssl, buf, num);
  if (nqrun::Detached()) return r;
  int code = SslCode(ssl, r);
  nqrun::LibraryScope scope;
  return NQ_HOOK(SSL_read, r, NQX_SSL_read(r, ReadSocket(ssl), buf, num, code));
}

NQ_EXPORT int SSL_write(nqrun::Ssl *ssl, const void *buf, int num) {
  NQ_REAL_TLS(SSL_write);
  BeginTlsCall();
  int r = real(ssl, buf, num);
  if (nqrun::Detached()) return r;
  int code = SslCode(ssl, r);
  nqrun::LibraryScope scope;
  return NQ_HOOK(SSL_write, r,
                 NQX_SSL_write(r, WriteSocket(ssl), buf, num, code));
}

NQ_EXPORT int SSL_read_ex(nqrun::Ssl *ssl, void *buf, size_t num,
                          size_t *readbytes) {
  NQ_REAL_TLS(SSL_read_ex);
  return SizedCall(real, nqdrop::kTraced_SSL_read_ex, NQX_SSL_read_ex,
                   ReadSocket, ssl, buf, num, readbytes);
}

NQ_EXPORT int SSL_write_ex(nqrun::Ssl *ssl, const void *buf, size_t num,
                           size_t *written) {
  NQ_REAL_TLS(SSL_write_ex);
  return SizedCall(real, nqdrop::kTraced_SSL_write_ex, NQX_SSL_write_ex,
                   WriteSocket, ssl, buf, num, written);
}

// SSL_READ_EARLY_DATA_ERROR (0) is the one failure; SUCCESS (1) and
// FINISH (2, no more early data, readbytes 0) both succeed.
NQ_EXPORT int SSL_read_early_data(nqrun::Ssl *ssl, void *buf, size_t num,
                                  size_t *readbytes) {
  NQ_REAL_TLS(SSL_read_early_data);
  return SizedCall(real, nqdrop::kTraced_SSL_read_early_data,
                   NQX_SSL_read_early_data, ReadSocket, ssl, buf, num,
                   readbytes);
}

NQ_EXPORT int SSL_write_early_data(nqrun::Ssl *ssl, const void *buf, size_t num,
                                   size_t *written) {
  NQ_REAL_TLS(SSL_write_early_data);
  return SizedCall(real, nqdrop::kTraced_SSL_write_early_data,
                   NQX_SSL_write_early_data, WriteSocket, ssl, buf, num,
                   written);
}

// 0 is no failure here: the close_notify went out, the peer's is awaited.
NQ_EXPORT int SSL_shutdown(nqrun::Ssl *ssl) {
  NQ_REAL_TLS(SSL_shutdown);
  BeginTlsCall();
  int r = real(ssl);
  if (nqrun::Detached()) return r;
  int code = r < 0 ? SslCode(ssl, r) : 0;
  nqrun::LibraryScope scope;
  return NQ_HOOK(SSL_shutdown, r,
                 NQX_SSL_shutdown(r, SessionSocket(ssl), code));
}

// A program that reads and writes its session through an SSL BIO
// (openssl s_server -www) reaches SSL_read and SSL_write inside libssl,
// where no interposer is: its plaintext is taken at the BIO.
NQ_EXPORT int BIO_read(nqrun::Bio *bio, void *data, int dlen) {
  NQ_REAL_TLS(BIO_read);
  nqrun::NoteDataSocket(-1);
  int r = real(bio, data, dlen);
  if (nqrun::Detached()) return r;
  nqrun::Ssl *ssl = SessionOf(bio);
  if (ssl == nullptr) return r;
  nqrun::EnterSocketCall();
  int code = SslCode(ssl, r);
  nqrun::LibraryScope scope;
  return NQ_HOOK(BIO_read, r,
                 NQX_BIO_read(r, ReadSocket(ssl), data, dlen, code));
}

NQ_EXPORT int BIO_write(nqrun::Bio *bio, const void *data, int dlen) {
  NQ_REAL_TLS(BIO_write);
  nqrun::NoteDataSocket(-1);
  int r = real(bio, data, dlen);
  if (nqrun::Detached()) return r;
  nqrun::Ssl *ssl = SessionOf(bio);
  if (ssl == nullptr) return r;
  nqrun::EnterSocketCall();
  int code = SslCode(ssl, r);
  nqrun::LibraryScope scope;
  return NQ_HOOK(BIO_write, r,
                 NQX_BIO_write(r, WriteSocket(ssl), data, dlen, code));
}

NQ_EXPORT ssize_t gnutls_record_recv(nqrun::GnutlsSession session, void *data,
                                     size_t size) {
  NQ_REAL_TLS(gnutls_record_recv);
  BeginTlsCall();
  ssize_t r = real(session, data, size);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(gnutls_record_recv, r,
                 NQX_gnutls_record_recv(r, GnutlsSocket(session, true), data,
                                        size, GnutlsCode(r)));
}

NQ_EXPORT ssize_t gnutls_record_send(nqrun::GnutlsSession session,
                                     const void *data, size_t size) {
  NQ_REAL_TLS(gnutls_record_send);
  BeginTlsCall();
  ssize_t r = real(session, data, size);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(gnutls_record_send, r,
                 NQX_gnutls_record_send(r, GnutlsSocket(session, false), data,
                                        size, GnutlsCode(r)));
}

}  // extern "C"
