/*
 * posix_entries.h - the interposer's entries for the calls of the C library
 * that the Windows socket API does not have, as netquill-run traces them.
 * They are built into libnetquill-preload.so above the library's floors,
 * beside its hooks, and exported by nothing: libnetquill.so and
 * NETQUILL.DLL export only what netquill.h declares.
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
#ifndef NQ_ENTRIES_POSIX_ENTRIES_H
#define NQ_ENTRIES_POSIX_ENTRIES_H

// A header of the interposer's entries, above the library's floors.
#if NQ_FLOOR < 5
#error "run/linux/preload/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include "lost_count.h"
#include "netquill.h"

#ifdef __cplusplus
extern "C" {
#endif

struct addrinfo;
struct mmsghdr;

/* Data calls on a socket. */
ssize_t NQX_read(ssize_t result, int fd, const void *buf, size_t count);
ssize_t NQX_write(ssize_t result, int fd, const void *buf, size_t count);
ssize_t NQX_readv(ssize_t result, int fd, const struct iovec *iov, int iovcnt);
ssize_t NQX_writev(ssize_t result, int fd, const struct iovec *iov, int iovcnt);
ssize_t NQX_sendmsg(ssize_t result, int fd, const struct msghdr *msg,
                    int flags);
/* name_valid: the bytes of msg_name that the call wrote. */
ssize_t NQX_recvmsg(ssize_t result, int fd, const struct msghdr *msg, int flags,
                    socklen_t name_valid);
int NQX_sendmmsg(int result, int fd, const struct mmsghdr *msgvec,
                 unsigned int vlen, int flags);
/* name_valid: per message, the bytes of msg_name that the call wrote. */
int NQX_recvmmsg(int result, int fd, const struct mmsghdr *msgvec,
                 unsigned int vlen, int flags, const socklen_t *name_valid);
/* sent: the bytes the call sent, read back from its source file (null when
 * they cannot be had: no dump), at least as many as the thread's dump
 * shows of result. */
ssize_t NQX_sendfile(ssize_t result, int out_fd, int in_fd, const off_t *offset,
                     size_t count, const void *sent);
ssize_t NQX_splice(ssize_t result, int fd_in, const void *off_in, int fd_out,
                   const void *off_out, size_t len, unsigned int flags);
int NQX_socketpair(int result, int domain, int type, int protocol,
                   const int sv[2]);

/* Out-addresses, valid: the bytes of the address that the call wrote. */
int NQX_accept(int result, int s, const struct sockaddr *addr,
               const socklen_t *addrlen, socklen_t valid);
int NQX_getpeername(int result, int s, const struct sockaddr *name,
                    const socklen_t *namelen, socklen_t valid);
int NQX_getsockname(int result, int s, const struct sockaddr *name,
                    const socklen_t *namelen, socklen_t valid);
ssize_t NQX_recvfrom(ssize_t result, int s, const void *buf, size_t len,
                     int flags, const struct sockaddr *from,
                     const socklen_t *fromlen, socklen_t valid);

/* Name lookups; a failed one is tagged with the caller's error code. */
int NQX_getaddrinfo(int result, const char *node, const char *service,
                    const struct addrinfo *res);
int NQX_getnameinfo(int result, const struct sockaddr *sa, socklen_t salen,
                    const char *host, const char *serv, int flags);

/* The plaintext of a TLS session, for the calls of OpenSSL and GnuTLS.
 * socket: the descriptor the session runs on (-1 when it has none); code:
 * 0 for a call that did not fail (a session the peer closed cleanly reads 0
 * bytes), else the error code the line carries, in errno's terms (a call to
 * be made again, SSL_ERROR_WANT_READ or GNUTLS_E_AGAIN, as EAGAIN). The
 * _ex and early-data forms report the bytes moved through moved, read only
 * when the call succeeded (result above 0). */
int NQX_SSL_read(int result, int socket, const void *buf, int num, int code);
int NQX_SSL_write(int result, int socket, const void *buf, int num, int code);
int NQX_SSL_read_ex(int result, int socket, const void *buf, size_t num,
                    const size_t *moved, int code);
int NQX_SSL_write_ex(int result, int socket, const void *buf, size_t num,
                     const size_t *moved, int code);
int NQX_SSL_read_early_data(int result, int socket, const void *buf, size_t num,
                            const size_t *moved, int code);
int NQX_SSL_write_early_data(int result, int socket, const void *buf,
                             size_t num, const size_t *moved, int code);
int NQX_SSL_shutdown(int result, int socket, int code);
/* OpenSSL's BIO_read and BIO_write on an SSL BIO (BIO_f_ssl), which moves
 * the session's plaintext without a call of the SSL_ functions above. */
int NQX_BIO_read(int result, int socket, const void *buf, int len, int code);
int NQX_BIO_write(int result, int socket, const void *buf, int len, int code);
ssize_t NQX_gnutls_record_recv(ssize_t result, int socket, const void *buf,
                               size_t size, int code);
ssize_t NQX_gnutls_record_send(ssize_t result, int socket, const void *buf,
                               size_t size, int code);

/* The entries for netquill-run's own use, named NQP_: no call is traced
 * through them. */

/* Appends to the trace file at path go through descriptor from now on (one
 * fstat and one write per record): descriptor is open for appending on the
 * regular file that path names now, so records still reach it after the
 * program changes its user, group or root directory. Should the program
 * close the descriptor or reuse its number, or remove the file, records go
 * to the path again; none is ever written into another file. Any earlier held
 * file is let go. Returns 1 when descriptor is taken, 0 when refused. Called
 * before the program's threads trace, or in a forked child. */
int NQP_HoldTraceFile(const char *path, int descriptor);

/* For the interposer's dup2, dup3 and close: the program is about to put
 * another file at descriptor, or to close it. When it is the held trace
 * file, records go to the path from now on, and the call returns once none
 * is still being written through the number. */
void NQP_ReleaseHeldNumber(int descriptor);

/* The library's steps around a fork, for a fork made without the system's
 * fork handlers (the interposer's vfork): before it, then in the parent or
 * in the child. */
void NQP_ForkPrepare(void);
void NQP_ForkInParent(void);
void NQP_ForkInChild(void);

/* From now on every record that cannot be written (the held descriptor and
 * the path both failing: no room, no right, the file-size limit) adds one
 * to the count at descriptor, which the library maps (the mapping survives
 * the descriptor's close and is inherited at fork). Returns 1 when
 * descriptor is such a count, 0 when it is refused and nothing is counted.
 * Called before the program's threads trace. */
int NQP_CountLostRecords(int descriptor);

/* From now on records for the held trace file are put into the ring of
 * records netquill-run reads and writes to the file (a sealed memory file
 * at descriptor, mapped here and inherited at fork), while it reads it;
 * the process appends them itself when the ring is full for a while or
 * netquill-run has ended. Returns 1 when descriptor is such a ring, 0 when
 * it is refused. Called before the program's threads trace. */
int NQP_ShareRecords(int descriptor);

/* The same for a process netquill-run -p attached to, at descriptor (an
 * open of the launcher's own), which counts no lost records; and, at the
 * detach, the ring unmapped once no thread is putting a record there. */
int NQP_ShareAttachedRecords(int descriptor);
void NQP_LeaveSharedRecords(void);

/* Once the process has a file-size limit (RLIMIT_FSIZE) of its own: it
 * appends its later records itself, where the limit holds for them, as it
 * does for the files it writes. Records put before stay in the ring. */
void NQP_AppendOwnRecords(void);

/* For netquill-run's fork handler: in a forked child, forgets the calling
 * thread's inherited trace without a stop banner (the library keeps the
 * forking thread's), so that the thread's next enable starts the child's
 * own, with its banner and, per process, its own file. */
void NQP_ForgetInheritedTrace(void);

/* For netquill-run's system-call path, which traces the calls of other
 * processes from its own thread by handing the entries copies of their
 * memory. From now on the entries trace as thread thread_id of process
 * process_id (its id keys its context; the process's executable names its
 * lines when it starts its trace), until called with 0, 0. */
void NQP_TraceAsThread(unsigned thread_id, int process_id);
/* From now on records are held back in memory when written, in order,
 * until NQP_WriteHeldRecords appends them: a stopped thread need not wait
 * for the file. Records that cannot be appended then are counted lost as
 * ever. */
void NQP_HoldRecords(void);
void NQP_WriteHeldRecords(void);
/* shown maps a copy's address to the address it copies in the traced
 * process, for the lines' pointer columns; null puts back the pointers as
 * given. */
void NQP_ShowAddressesAs(size_t (*shown)(const void *copy));

/* The calling thread's next call line shows when its call started (start,
 * the system's real-time clock) and how long it took (from began to ended,
 * the monotonic clock): netquill-run -T. */
void NQP_NoteCallTimes(const struct timespec *start,
                       const struct timespec *began,
                       const struct timespec *ended);
/* From now on call lines show the times of NQP_NoteCallTimes (timed:
 * netquill-run -T), and a socket in a call line is followed by what it is,
 * its protocol and addresses as the system has them (labelled: -y): of this
 * process's own descriptors with borrow null, else of the descriptor that
 * borrow makes for one of another process's, closed after use (-1: none). */
void NQP_SetCallViews(int timed, int labelled, int (*borrow)(int fd));
/* The process whose descriptors the labels name from now on: the one a
 * borrow reaches (0: our own). */
void NQP_LabelSocketsOf(int process_id);

/* One line of a TLS library's key log, in the NSS key log format
 * ("CLIENT_RANDOM <client random> <secret>", hex), written as a record of
 * its own, "TLS key log: " and the line, while the calling thread traces
 * with dumps: the secrets reveal what the dumps show, and go where they go. */
void NQP_TraceTlsKey(const char *line);

#ifdef __cplusplus
}
#endif

#endif /* NQ_ENTRIES_POSIX_ENTRIES_H */
