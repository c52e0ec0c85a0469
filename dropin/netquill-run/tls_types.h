// The TLS libraries' types as the interposer sees them: opaque, and never
// taken from the libraries' headers, which the build does not need.
#ifndef NQ_DROPIN_NETQUILL_RUN_TLS_TYPES_H
#define NQ_DROPIN_NETQUILL_RUN_TLS_TYPES_H

extern "C" {
struct ssl_st;
struct ssl_ctx_st;
struct gnutls_session_int;
}

namespace nqrun {

using Ssl = ssl_st;                          // OpenSSL's SSL
using SslCtx = ssl_ctx_st;                   // OpenSSL's SSL_CTX
using GnutlsSession = gnutls_session_int *;  // gnutls_session_t

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_TLS_TYPES_H
