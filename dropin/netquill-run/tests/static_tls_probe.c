/* A program that carries its own copy of a TLS library's record function,
 * as one linked with OpenSSL (NQ_OPENSSL) or GnuTLS statically does. */
#include <stddef.h>

#ifdef NQ_OPENSSL
int SSL_read(void *ssl, void *buf, int num) {
  (void)ssl;
  (void)buf;
  return num;
}
#define NQ_RECORD() SSL_read(NULL, NULL, 0)
#else
long gnutls_record_recv(void *session, void *data, size_t size) {
  (void)session;
  (void)data;
  return (long)size;
}
#define NQ_RECORD() (int)gnutls_record_recv(NULL, NULL, 0)
#endif

int main(void) { return NQ_RECORD(); }
