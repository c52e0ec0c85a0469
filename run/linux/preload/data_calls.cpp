// The data calls of the C library, traced when their descriptor is a socket
// the program made (socket, accept, socketpair): read, write, readv,
// writev, sendmsg, recvmsg, sendmmsg, recvmmsg, sendfile and splice. A
// descriptor the C library closed and reused behind the interposer's back
// (fclose of a socket's stream, posix_spawn) is caught by the socket's
// identity, checked with one fstat per traced call; calls on any other
// descriptor cost no system call. poll, epoll and io_uring stay untraced,
// and so does every other call a program makes through syscall().
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "entries/posix_entries.h"
#include "interposer.h"

namespace {

// recvmmsg takes at most this many messages (UIO_MAXIOV); the lengths of
// their address buffers are kept from before the call, each cut to the
// longest address (sockaddr_storage), and handed on kNameBatch at a time.
constexpr unsigned kMaxMessages = 1024;
constexpr socklen_t kLongestName = sizeof(sockaddr_storage);
constexpr unsigned kNameBatch = 64;

// The bytes a sendfile from a regular file sent, read back with pread from
// the range it sent (the file's offset stays where the call left it), as
// many as the thread's dump shows, in pages of their own for the one hook
// call; none when the thread does not dump, the source is no regular file
// or the range no longer reads back whole. Where the range started: the
// program's offset less what was sent, or without one the file's offset
// less what was sent.
class SentFromFile {
 public:
  SentFromFile(int in_fd, const off_t *offset, ssize_t sent) {
    if (sent <= 0 || !nqrun::Selected(nqdrop::kTraced_sendfile) ||
        !(WSAGetTraceFlags() & TRACE_FLAG_DUMP))
      return;
    int saved = errno;
    Read(in_fd, offset, sent);
    errno = saved;
  }
  ~SentFromFile() {
    if (size_ == 0) return;
    int saved = errno;
    munmap(bytes_, size_);
    errno = saved;
  }
  SentFromFile(const SentFromFile &) = delete;
  SentFromFile &operator=(const SentFromFile &) = delete;

  // Null when there are none.
  const void *Bytes() const { return whole_ ? bytes_ : nullptr; }

 private:
  void Read(int in_fd, const off_t *offset, ssize_t sent) {
    struct stat st;
    if (fstat(in_fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    off_t at = offset != nullptr ? *offset : lseek(in_fd, 0, SEEK_CUR);
    if (at < sent) return;
    at -= sent;
    size_t want = static_cast<size_t>(sent);
    uint32_t limit = nqrun::DumpLimit();
    if (limit != 0 && limit < want) want = limit;
    void *pages = mmap(nullptr, want, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return;
    bytes_ = pages;
    size_ = want;
    size_t got = 0;
    while (got < want) {
      ssize_t n = pread(in_fd, static_cast<char *>(pages) + got, want - got,
                        at + static_cast<off_t>(got));
      if (n <= 0) return;
      got += static_cast<size_t>(n);
    }
    whole_ = true;
  }

  void *bytes_ = nullptr;
  size_t size_ = 0;
  bool whole_ = false;
};

}  // namespace

extern "C" {

NQ_EXPORT ssize_t read(int fd, void *buf, size_t count) {
  NQ_REAL(read);
  NQ_PASS_INSIDE(real(fd, buf, count));
  ssize_t r = real(fd, buf, count);
  if (!nqrun::IsDataSocket(fd)) return r;
  nqrun::NoteDataSocket(fd);
  nqrun::LibraryScope scope;
  return NQ_HOOK(read, r, NQX_read(r, fd, buf, count));
}

// Programs built with _FORTIFY_SOURCE read through the checked form.
NQ_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen) {
  using Fn = ssize_t (*)(int, void *, size_t, size_t);
  static const auto real =
      reinterpret_cast<Fn>(nqrun::NextSymbol("__read_chk"));
  NQ_PASS_INSIDE(real(fd, buf, count, buflen));
  ssize_t r = real(fd, buf, count, buflen);
  if (!nqrun::IsDataSocket(fd)) return r;
  nqrun::NoteDataSocket(fd);
  nqrun::LibraryScope scope;
  return NQ_HOOK(read, r, NQX_read(r, fd, buf, count));
}

NQ_EXPORT ssize_t write(int fd, const void *buf, size_t count) {
  NQ_REAL(write);
  NQ_PASS_INSIDE(real(fd, buf, count));
  ssize_t r = real(fd, buf, count);
  if (!nqrun::IsDataSocket(fd)) return r;
  nqrun::NoteDataSocket(fd);
  nqrun::LibraryScope scope;
  return NQ_HOOK(write, r, NQX_write(r, fd, buf, count));
}

NQ_EXPORT ssize_t readv(int fd, const struct iovec *iov, int iovcnt) {
  NQ_REAL(readv);
  NQ_PASS_INSIDE(real(fd, iov, iovcnt));
  ssize_t r = real(fd, iov, iovcnt);
  if (!nqrun::IsDataSocket(fd)) return r;
  nqrun::NoteDataSocket(fd);
  nqrun::LibraryScope scope;
  return NQ_HOOK(readv, r, NQX_readv(r, fd, iov, iovcnt));
}

NQ_EXPORT ssize_t writev(int fd, const struct iovec *iov, int iovcnt) {
  NQ_REAL(writev);
  NQ_PASS_INSIDE(real(fd, iov, iovcnt));
  ssize_t r = real(fd, iov, iovcnt);
  if (!nqrun::IsDataSocket(fd)) return r;
  nqrun::NoteDataSocket(fd);
  nqrun::LibraryScope scope;
  return NQ_HOOK(writev, r, NQX_writev(r, fd, iov, iovcnt));
}

NQ_EXPORT ssize_t sendmsg(int fd, const struct msghdr *msg, int flags) {
  NQ_REAL(sendmsg);
  nqrun::EnterSocketCall();
  ssize_t r = real(fd, msg, flags);
  nqrun::NoteDataSocket(fd);
  nqrun::LibraryScope scope;
  return NQ_HOOK(sendmsg, r, NQX_sendmsg(r, fd, msg, flags));
}

NQ_EXPORT ssize_t recvmsg(int fd, struct msghdr *msg, int flags) {
  NQ_REAL(recvmsg);
  nqrun::EnterSocketCall();
  // The kernel reads the header and refuses one it cannot (EFAULT): the
  // length of msg_name is read through it, never straight from it.
  socklen_t before = 0;
  if (msg != nullptr &&
      !nqrun::CopyFromProgram(&before, &msg->msg_namelen, sizeof before))
    before = 0;
  ssize_t r = real(fd, msg, flags);
  nqrun::NoteDataSocket(fd);
  // A failed call wrote no address.
  socklen_t valid = r < 0 || msg == nullptr     ? 0
                    : msg->msg_namelen < before ? msg->msg_namelen
                                                : before;
  nqrun::NoDumpScope discarded(r > 0 && nqrun::DiscardsBytes(fd, flags));
  nqrun::LibraryScope scope;
  return NQ_HOOK(recvmsg, r, NQX_recvmsg(r, fd, msg, flags, valid));
}

NQ_EXPORT int sendmmsg(int fd, struct mmsghdr *msgvec, unsigned int vlen,
                       int flags) {
  NQ_REAL(sendmmsg);
  nqrun::EnterSocketCall();
  int r = real(fd, msgvec, vlen, flags);
  nqrun::LibraryScope scope;
  return NQ_HOOK(sendmmsg, r, NQX_sendmmsg(r, fd, msgvec, vlen, flags));
}

// The valid bytes of each address are kept from before the call, as a
// byte each (no address the hook reads is longer than kLongestName), and
// handed to the hook a batch of messages at a time: the stack a signal
// handler may run on stays small.
NQ_EXPORT int recvmmsg(int fd, struct mmsghdr *msgvec, unsigned int vlen,
                       int flags, struct timespec *timeout) {
  NQ_REAL(recvmmsg);
  nqrun::EnterSocketCall();
  // The kernel takes at most kMaxMessages, the line shows the vlen passed.
  unsigned kept = vlen < kMaxMessages ? vlen : kMaxMessages;
  unsigned char before[kMaxMessages];
  // Read as the kernel reads them: the vector is read up to its first
  // unreadable message, where the call fails with EFAULT or stops.
  socklen_t lengths[kNameBatch];
  unsigned read = 0;
  while (msgvec != nullptr && read < kept) {
    unsigned n = kept - read < kNameBatch ? kept - read : kNameBatch;
    unsigned got = static_cast<unsigned>(
        nqrun::CopyFieldsFromProgram(lengths, &msgvec[read].msg_hdr.msg_namelen,
                                     sizeof lengths[0], sizeof msgvec[0], n));
    for (unsigned i = 0; i < got; ++i)
      before[read + i] = static_cast<unsigned char>(
          lengths[i] < kLongestName ? lengths[i] : kLongestName);
    read += got;
    if (got != n) break;
  }
  kept = read;
  int r = real(fd, msgvec, vlen, flags, timeout);
  nqrun::NoDumpScope discarded(r > 0 && nqrun::DiscardsBytes(fd, flags));
  nqrun::LibraryScope scope;
  if (!nqrun::Selected(nqdrop::kTraced_recvmmsg)) return r;
  if (r <= 0) return NQX_recvmmsg(r, fd, msgvec, vlen, flags, nullptr);
  socklen_t valid[kNameBatch];
  for (unsigned at = 0; at < static_cast<unsigned>(r); at += kNameBatch) {
    unsigned n = static_cast<unsigned>(r) - at;
    if (n > kNameBatch) n = kNameBatch;
    for (unsigned i = 0; i < n; ++i) {
      socklen_t after = msgvec[at + i].msg_hdr.msg_namelen;
      // A message not read before the call is taken as no address.
      socklen_t had = at + i < kept ? before[at + i] : 0;
      valid[i] = after < had ? after : had;
    }
    NQX_recvmmsg(static_cast<int>(n), fd, msgvec + at, n, flags, valid);
  }
  return r;
}

NQ_EXPORT ssize_t sendfile(int out_fd, int in_fd, off_t *offset, size_t count) {
  NQ_REAL(sendfile);
  ssize_t r = real(out_fd, in_fd, offset, count);
  if (!nqrun::IsDataSocket(out_fd)) return r;
  nqrun::LibraryScope scope;
  SentFromFile sent(in_fd, offset, r);
  return NQ_HOOK(sendfile, r,
                 NQX_sendfile(r, out_fd, in_fd, offset, count, sent.Bytes()));
}

NQ_EXPORT ssize_t sendfile64(int out_fd, int in_fd, off64_t *offset,
                             size_t count) {
  NQ_REAL(sendfile64);
  ssize_t r = real(out_fd, in_fd, offset, count);
  if (!nqrun::IsDataSocket(out_fd)) return r;
  nqrun::LibraryScope scope;
  const off_t *at = reinterpret_cast<off_t *>(offset);
  SentFromFile sent(in_fd, at, r);
  return NQ_HOOK(sendfile, r,
                 NQX_sendfile(r, out_fd, in_fd, at, count, sent.Bytes()));
}

NQ_EXPORT ssize_t splice(int fd_in, loff_t *off_in, int fd_out, loff_t *off_out,
                         size_t len, unsigned int flags) {
  NQ_REAL(splice);
  ssize_t r = real(fd_in, off_in, fd_out, off_out, len, flags);
  if (!nqrun::IsDataSocket(fd_in) && !nqrun::IsDataSocket(fd_out)) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(splice, r,
                 NQX_splice(r, fd_in, off_in, fd_out, off_out, len, flags));
}

NQ_EXPORT int socketpair(int domain, int type, int protocol, int sv[2]) {
  NQ_REAL(socketpair);
  nqrun::EnterSocketCall();
  int r = real(domain, type, protocol, sv);
  if (r == 0) {
    nqrun::MarkSocket(sv[0]);
    nqrun::MarkSocket(sv[1]);
  }
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(socketpair, r, NQX_socketpair(r, domain, type, protocol, sv));
}

// libuv makes its socket calls through syscall() where the C library
// lacks a function or behaves otherwise (close, sendmmsg, recvmmsg): the
// numbers of the traced calls go the way of the C library's own
// functions, every other number straight on. A system call has at most six
// arguments, each one word.
NQ_EXPORT long syscall(long number, ...) {
  NQ_REAL(syscall);
  long a[6];
  va_list args;
  va_start(args, number);
  for (long &word : a) word = va_arg(args, long);
  va_end(args);
  if (!nqrun::InLibrary() && !nqrun::InRealCall()) {
    long routed;
    if (nqrun::RouteSyscall(number, a, &routed)) return routed;
  }
  return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

// In a vfork() child the parent's memory is the child's: what the child
// marks or forgets, and the tracing it starts, would be the parent's. Under
// the launcher a vfork() is a fork, which POSIX lets the child not notice:
// the C library's _Fork, which like vfork runs none of the program's fork
// handlers and takes none of the C library's locks (a vfork from a signal
// handler that interrupted malloc would wait for malloc's lock for ever in
// fork()), with only this library's own steps around it.
NQ_EXPORT pid_t vfork(void) {
  using Fn = pid_t (*)();
  static const auto fork_only =
      reinterpret_cast<Fn>(nqrun::NextSymbol("_Fork"));
  if (fork_only == nullptr) return fork();  // a C library before 2.34
  NQP_ForkPrepare();
  pid_t child = fork_only();
  if (child != 0) {
    NQP_ForkInParent();
    return child;
  }
  NQP_ForkInChild();
  nqrun::ForgetTraceInChild();
  return 0;
}

}  // extern "C"
