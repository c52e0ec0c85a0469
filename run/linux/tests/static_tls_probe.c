/* A program with its own copy of a TLS library's record function, as one
 * linked with OpenSSL (NQ_OPENSSL) or GnuTLS statically has. */
#ifdef NQ_OPENSSL
int SSL_read(void *ssl, void *buf, int num) { return ssl == buf ? num : 0; }
int main(void) { return SSL_read(0, 0, 0); }
#else
long gnutls_record_recv(void *s, void *d, long n) { return s == d ? n : 0; }
int main(void) { return (int)gnutls_record_recv(0, 0, 0); }
#endif
