/*
 * netquill_posix.h - entries of the POSIX library (libnetquill.so) for the
 * calls of the C library that the Windows socket API does not have, as
 * netquill-run traces them. NETQUILL.DLL has none of them; its export table
 * is the one of netquill.h.
 *
 * Like the hooks, each takes the call's result first, then the call's own
 * arguments, writes the call's line (and, for the calls that move data,
 * the dump of what moved) and returns the result unchanged. Each line
 * carries the call's own name; NQ_POSIX_CALLS in netquill_calls.h lists
 * them (sendmmsg and recvmmsg write a line per message), and the build
 * stops at an entry here that the list lacks. Where the call wrote an
 * address whose length came through a pointer, the caller passes the
 * number of valid bytes by value, and only those are read.
 */
#ifndef NETQUILL_POSIX_H
#define NETQUILL_POSIX_H

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "netquill.h"

#ifdef __cplusplus
extern "C" {
#endif

struct addrinfo;
struct mmsghdr;

/* Data calls on a socket. */
NQ_EXPORT ssize_t NQX_read(ssize_t result, int fd, const void *buf,
                           size_t count);
NQ_EXPORT ssize_t NQX_write(ssize_t result, int fd, const void *buf,
                            size_t count);
NQ_EXPORT ssize_t NQX_readv(ssize_t result, int fd, const struct iovec *iov,
                            int iovcnt);
NQ_EXPORT ssize_t NQX_writev(ssize_t result, int fd, const struct iovec *iov,
                             int iovcnt);
NQ_EXPORT ssize_t NQX_sendmsg(ssize_t result, int fd, const struct msghdr *msg,
                              int flags);
/* name_valid: the bytes of msg_name that the call wrote. */
NQ_EXPORT ssize_t NQX_recvmsg(ssize_t result, int fd, const struct msghdr *msg,
                              int flags, socklen_t name_valid);
NQ_EXPORT int NQX_sendmmsg(int result, int fd, const struct mmsghdr *msgvec,
                           unsigned int vlen, int flags);
/* name_valid: per message, the bytes of msg_name that the call wrote. */
NQ_EXPORT int NQX_recvmmsg(int result, int fd, const struct mmsghdr *msgvec,
                           unsigned int vlen, int flags,
                           const socklen_t *name_valid);
NQ_EXPORT ssize_t NQX_sendfile(ssize_t result, int out_fd, int in_fd,
                               const off_t *offset, size_t count);
NQ_EXPORT ssize_t NQX_splice(ssize_t result, int fd_in, const void *off_in,
                             int fd_out, const void *off_out, size_t len,
                             unsigned int flags);
NQ_EXPORT int NQX_socketpair(int result, int domain, int type, int protocol,
                             const int sv[2]);

/* Out-addresses, valid: the bytes of the address that the call wrote. */
NQ_EXPORT int NQX_accept(int result, int s, const struct sockaddr *addr,
                         const socklen_t *addrlen, socklen_t valid);
NQ_EXPORT int NQX_getpeername(int result, int s, const struct sockaddr *name,
                              const socklen_t *namelen, socklen_t valid);
NQ_EXPORT int NQX_getsockname(int result, int s, const struct sockaddr *name,
                              const socklen_t *namelen, socklen_t valid);
NQ_EXPORT ssize_t NQX_recvfrom(ssize_t result, int s, const void *buf,
                               size_t len, int flags,
                               const struct sockaddr *from,
                               const socklen_t *fromlen, socklen_t valid);

/* Name lookups; a failed one is tagged with the caller's error code. */
NQ_EXPORT int NQX_getaddrinfo(int result, const char *node, const char *service,
                              const struct addrinfo *res);
NQ_EXPORT int NQX_getnameinfo(int result, const struct sockaddr *sa,
                              socklen_t salen, const char *host,
                              const char *serv, int flags);

/* The plaintext of a TLS session, for the calls of OpenSSL and GnuTLS.
 * socket: the descriptor the session runs on (-1 when it has none); code:
 * 0 for a call that did not fail (a session the peer closed cleanly reads 0
 * bytes), else the error code the line carries, in errno's terms (a call to
 * be made again, SSL_ERROR_WANT_READ or GNUTLS_E_AGAIN, as EAGAIN). The
 * _ex and early-data forms report the bytes moved through moved, read only
 * when the call succeeded (result above 0). */
NQ_EXPORT int NQX_SSL_read(int result, int socket, const void *buf, int num,
                           int code);
NQ_EXPORT int NQX_SSL_write(int result, int socket, const void *buf, int num,
                            int code);
NQ_EXPORT int NQX_SSL_read_ex(int result, int socket, const void *buf,
                              size_t num, const size_t *moved, int code);
NQ_EXPORT int NQX_SSL_write_ex(int result, int socket, const void *buf,
                               size_t num, const size_t *moved, int code);
NQ_EXPORT int NQX_SSL_read_early_data(int result, int socket, const void *buf,
                                      size_t num, const size_t *moved,
                                      int code);
NQ_EXPORT int NQX_SSL_write_early_data(int result, int socket, const void *buf,
                                       size_t num, const size_t *moved,
                                       int code);
NQ_EXPORT int NQX_SSL_shutdown(int result, int socket, int code);
/* OpenSSL's BIO_read and BIO_write on an SSL BIO (BIO_f_ssl), which moves
 * the session's plaintext without a call of the SSL_ functions above. */
NQ_EXPORT int NQX_BIO_read(int result, int socket, const void *buf, int len,
                           int code);
NQ_EXPORT int NQX_BIO_write(int result, int socket, const void *buf, int len,
                            int code);
NQ_EXPORT ssize_t NQX_gnutls_record_recv(ssize_t result, int socket,
                                         const void *buf, size_t size,
                                         int code);
NQ_EXPORT ssize_t NQX_gnutls_record_send(ssize_t result, int socket,
                                         const void *buf, size_t size,
                                         int code);

/* The library's own entries for netquill-run, named NQP_: no call is
 * traced through them, and the export check takes their names from here. */

/* Appends to the trace file at path go through descriptor from now on (one
 * fstat and one write per record): descriptor is open for appending on the
 * regular file that path names now, so records still reach it after the
 * program changes its user, group or root directory. Should the program
 * close the descriptor or reuse its number, or remove the file, records go
 * to the path again; none is ever written into another file. Any earlier held
 * file is let go. Returns 1 when descriptor is taken, 0 when refused. Called
 * before the program's threads trace, or in a forked child. */
NQ_EXPORT int NQP_HoldTraceFile(const char *path, int descriptor);

/* For netquill-run's fork handler: in a forked child, forgets the calling
 * thread's inherited trace without a stop banner (the library keeps the
 * forking thread's), so that the thread's next enable starts the child's
 * own, with its banner and, per process, its own file. */
NQ_EXPORT void NQP_ForgetInheritedTrace(void);

/* One line of a TLS library's key log, in the NSS key log format
 * ("CLIENT_RANDOM <client random> <secret>", hex), written as a record of
 * its own, "TLS key log: " and the line, while the calling thread traces
 * with dumps: the secrets reveal what the dumps show, and go where they go. */
NQ_EXPORT void NQP_TraceTlsKey(const char *line);

#ifdef __cplusplus
}
#endif

#endif /* NETQUILL_POSIX_H */
