// The secrets of the program's TLS sessions, for the trace: a key log
// callback put on every OpenSSL context (SSL_CTX_new) and every GnuTLS
// session (gnutls_init) as it is made. A callback the program sets itself
// is kept and called first, then ours; asked for its callback, the program
// gets its own back. Each key log line goes to NQP_TraceTlsKey.
#include <pthread.h>
#include <stddef.h>
#include <atomic>

#include "entries/posix_entries.h"
#include "interposer.h"
#include "tls_library.h"

namespace {

using SslKeyLog = void (*)(const nqrun::Ssl *, const char *);

struct Datum {  // gnutls_datum_t
  unsigned char *data;
  unsigned int size;
};
using GnutlsKeyLog = int (*)(nqrun::GnutlsSession, const char *, const Datum *);

// The program's own callbacks, by the context or session they were set
// on. Few programs set one, on few contexts; once the table is full the
// program's callback is installed as it is, and that context's keys stay
// out of the trace.
struct Chained {
  const void *owner;  // the SSL_CTX or gnutls session
  void *callback;     // the program's callback on it
};
constexpr int kChained = 64;
Chained g_chained[kChained];
pthread_mutex_t g_chained_lock = PTHREAD_MUTEX_INITIALIZER;

// Keeps callback as owner's (none: forgets it). False when full.
bool Remember(const void *owner, void *callback) {
  pthread_mutex_lock(&g_chained_lock);
  Chained *slot = nullptr;
  for (Chained &c : g_chained) {
    if (c.owner == owner) {
      slot = &c;
      break;
    }
    if (c.owner == nullptr && slot == nullptr) slot = &c;
  }
  bool kept = slot != nullptr || callback == nullptr;
  if (slot != nullptr) {
    slot->owner = callback != nullptr ? owner : nullptr;
    slot->callback = callback;
  }
  pthread_mutex_unlock(&g_chained_lock);
  return kept;
}

void *Recall(const void *owner) {
  pthread_mutex_lock(&g_chained_lock);
  void *callback = nullptr;
  for (const Chained &c : g_chained)
    if (c.owner == owner) callback = c.callback;
  pthread_mutex_unlock(&g_chained_lock);
  return callback;
}

// A session's secrets decrypt what its socket's lines dump: they are
// traced only while every call that shows plaintext is, so that a -e that
// keeps any plaintext out keeps the secrets out too.
bool PlaintextTraced() {
  // The list's data column: which calls hand over or take plaintext.
  constexpr bool kPlain_none = false, kPlain_sent = false,
                 kPlain_received = false, kPlain_plain_sent = true,
                 kPlain_plain_received = true;
#define NQ_PLAINTEXT_CALL(name, data) \
  if (kPlain_##data && !nqrun::Selected(nqdrop::kTraced_##name)) return false;
  NQ_POSIX_CALLS(NQ_PLAINTEXT_CALL)
#undef NQ_PLAINTEXT_CALL
  return true;
}

void TraceKey(const char *line) {
  if (!PlaintextTraced()) return;
  nqrun::LibraryScope scope;
  NQP_TraceTlsKey(line);
}

void SslKeyLogged(const nqrun::Ssl *ssl, const char *line) {
  using GetCtx = nqrun::SslCtx *(*)(const nqrun::Ssl *);
  static const auto get_ctx =
      reinterpret_cast<GetCtx>(nqrun::TlsSymbol("SSL_get_SSL_CTX"));
  auto program = reinterpret_cast<SslKeyLog>(
      Recall(get_ctx != nullptr ? get_ctx(ssl) : nullptr));
  if (program != nullptr) program(ssl, line);
  TraceKey(line);
}

using SetSslKeyLog = void (*)(nqrun::SslCtx *, SslKeyLog);

SetSslKeyLog RealSetSslKeyLog() {
  static const auto set = reinterpret_cast<SetSslKeyLog>(
      nqrun::TlsSymbol("SSL_CTX_set_keylog_callback"));
  return set;
}

// A new context, perhaps at the address of a freed one: nothing of the
// old one's is kept.
nqrun::SslCtx *WithKeyLog(nqrun::SslCtx *ctx) {
  if (ctx == nullptr || RealSetSslKeyLog() == nullptr) return ctx;
  Remember(ctx, nullptr);
  RealSetSslKeyLog()(ctx, SslKeyLogged);
  return ctx;
}

// What GnuTLS itself puts on every new session: the function that writes
// the secrets to the file SSLKEYLOGFILE names, which the program keeps.
std::atomic<GnutlsKeyLog> g_gnutls_own_key_log{nullptr};
thread_local bool t_in_gnutls_init;  // inside GnuTLS's gnutls_init

// Remembered for a session whose program took its key log away.
int NoGnutlsKeyLog(nqrun::GnutlsSession, const char *, const Datum *) {
  return 0;
}

// The key log the session would call untraced: the program's own, or
// GnuTLS's where the program set none.
GnutlsKeyLog ProgramsGnutlsKeyLog(nqrun::GnutlsSession session) {
  auto program = reinterpret_cast<GnutlsKeyLog>(Recall(session));
  if (program == NoGnutlsKeyLog) return nullptr;
  return program != nullptr ? program : g_gnutls_own_key_log.load();
}

// GnuTLS hands over the label and the secret; the line names the session
// by its client random, as the format wants.
int GnutlsKeyLogged(nqrun::GnutlsSession session, const char *label,
                    const Datum *secret) {
  GnutlsKeyLog program = ProgramsGnutlsKeyLog(session);
  int r = program != nullptr ? program(session, label, secret) : 0;
  using GetRandom = void (*)(nqrun::GnutlsSession, Datum *, Datum *);
  static const auto get_random = reinterpret_cast<GetRandom>(
      nqrun::TlsSymbol("gnutls_session_get_random"));
  if (get_random == nullptr || label == nullptr || secret == nullptr) return r;
  Datum client = {nullptr, 0}, server = {nullptr, 0};
  get_random(session, &client, &server);
  // A label, a 32-byte random and a secret of 64 bytes at most.
  static const char kHex[] = "0123456789abcdef";
  char line[512];
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 < sizeof line) line[n++] = c;
  };
  for (const char *p = label; *p != '\0'; ++p) put(*p);
  const Datum *parts[] = {&client, secret};
  for (const Datum *d : parts) {
    put(' ');
    for (unsigned i = 0; d->data != nullptr && i < d->size; ++i) {
      put(kHex[d->data[i] >> 4]);
      put(kHex[d->data[i] & 15]);
    }
  }
  line[n] = '\0';
  TraceKey(line);
  return r;
}

using SetGnutlsKeyLog = void (*)(nqrun::GnutlsSession, GnutlsKeyLog);

SetGnutlsKeyLog RealSetGnutlsKeyLog() {
  static const auto set = reinterpret_cast<SetGnutlsKeyLog>(
      nqrun::TlsSymbol("gnutls_session_set_keylog_function"));
  return set;
}

}  // namespace

extern "C" {

NQ_EXPORT nqrun::SslCtx *SSL_CTX_new(const void *method) {
  NQ_REAL_TLS(SSL_CTX_new);
  return WithKeyLog(real(method));
}

// OpenSSL 3's form, with a library context and properties.
NQ_EXPORT nqrun::SslCtx *SSL_CTX_new_ex(void *libctx, const char *propq,
                                        const void *method) {
  NQ_REAL_TLS(SSL_CTX_new_ex);
  return WithKeyLog(real(libctx, propq, method));
}

NQ_EXPORT void SSL_CTX_set_keylog_callback(nqrun::SslCtx *ctx, SslKeyLog cb) {
  NQ_REAL_TLS(SSL_CTX_set_keylog_callback);
  if (ctx != nullptr && Remember(ctx, reinterpret_cast<void *>(cb)))
    real(ctx, SslKeyLogged);
  else
    real(ctx, cb);
}

NQ_EXPORT SslKeyLog SSL_CTX_get_keylog_callback(const nqrun::SslCtx *ctx) {
  NQ_REAL_TLS(SSL_CTX_get_keylog_callback);
  SslKeyLog cb = real(ctx);
  return cb == SslKeyLogged ? reinterpret_cast<SslKeyLog>(Recall(ctx)) : cb;
}

// GnuTLS puts its own key log on a new session, by a call of the setter
// below or by a store of its own, as versions differ: either way it is kept
// once, for every session, and ours goes on the session.
NQ_EXPORT int gnutls_init(nqrun::GnutlsSession *session, unsigned int flags) {
  NQ_REAL_TLS(gnutls_init);
  using GetGnutlsKeyLog = GnutlsKeyLog (*)(nqrun::GnutlsSession);
  static const auto get = reinterpret_cast<GetGnutlsKeyLog>(
      nqrun::TlsSymbol("gnutls_session_get_keylog_function"));
  t_in_gnutls_init = true;
  int r = real(session, flags);
  t_in_gnutls_init = false;
  if (r == 0 && session != nullptr && *session != nullptr &&
      RealSetGnutlsKeyLog() != nullptr) {
    GnutlsKeyLog own = get != nullptr ? get(*session) : nullptr;
    if (own != GnutlsKeyLogged) {
      if (own != nullptr) g_gnutls_own_key_log = own;
      Remember(*session, nullptr);
      RealSetGnutlsKeyLog()(*session, GnutlsKeyLogged);
    }
  }
  return r;
}

NQ_EXPORT void gnutls_session_set_keylog_function(nqrun::GnutlsSession session,
                                                  GnutlsKeyLog func) {
  NQ_REAL_TLS(gnutls_session_set_keylog_function);
  if (t_in_gnutls_init && session != nullptr && func != nullptr) {
    g_gnutls_own_key_log = func;
    Remember(session, nullptr);
    real(session, GnutlsKeyLogged);
    return;
  }
  void *kept =
      reinterpret_cast<void *>(func != nullptr ? func : NoGnutlsKeyLog);
  if (session != nullptr && Remember(session, kept))
    real(session, GnutlsKeyLogged);
  else
    real(session, func);
}

NQ_EXPORT GnutlsKeyLog
gnutls_session_get_keylog_function(const nqrun::GnutlsSession session) {
  NQ_REAL_TLS(gnutls_session_get_keylog_function);
  GnutlsKeyLog func = real(session);
  return func == GnutlsKeyLogged ? ProgramsGnutlsKeyLog(session) : func;
}

}  // extern "C"
