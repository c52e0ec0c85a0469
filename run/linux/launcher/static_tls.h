// Programs that carry their TLS library inside their own file: their TLS
// calls never reach the preload, so their plaintext cannot be traced.
#ifndef NQ_DROPIN_NETQUILL_RUN_STATIC_TLS_H
#define NQ_DROPIN_NETQUILL_RUN_STATIC_TLS_H

namespace nqrun {

// "OpenSSL" or "GnuTLS" when the ELF program at path defines that
// library's record functions itself (SSL_read, gnutls_record_recv) in its
// symbol tables; null otherwise, also for a stripped program whose copy
// exports nothing, which cannot be told from its file.
const char *StaticTlsLibrary(const char *path);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_STATIC_TLS_H
