// The TLS libraries as the interposer sees them: opaque types, never taken
// from the libraries' headers, which the build does not need; and the
// lookup of their real functions.
#ifndef NQ_DROPIN_NETQUILL_RUN_TLS_LIBRARY_H
#define NQ_DROPIN_NETQUILL_RUN_TLS_LIBRARY_H

extern "C" {
struct ssl_st;
struct ssl_ctx_st;
struct bio_st;
struct gnutls_session_int;
}

// The real TLS function, looked up on first use.
#define NQ_REAL_TLS(name)  \
  static const auto real = \
      reinterpret_cast<decltype(&::name)>(nqrun::TlsSymbol(#name))

namespace nqrun {

using Ssl = ssl_st;                          // OpenSSL's SSL
using SslCtx = ssl_ctx_st;                   // OpenSSL's SSL_CTX
using Bio = bio_st;                          // OpenSSL's BIO
using GnutlsSession = gnutls_session_int *;  // gnutls_session_t

// A TLS library's function: the next definition after this library's own,
// or, for a library the program loaded with dlopen (Python's _ssl brings
// libssl so), which no such search reaches, the definition that the
// loaded objects' own scopes give. errno is left as it was.
void *TlsSymbol(const char *name);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_TLS_LIBRARY_H
