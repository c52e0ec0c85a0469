// The records of the system-call path. The program's memory is read with
// process_vm_readv into copies of the launcher's own, which the entries
// read; the lines show the addresses the copies came from. The sockets a
// process made (socket, accept, socketpair) are kept per process, as the
// interposer keeps them in the process: its data calls, close and sendfile
// are recorded on those only.
#include "syscall_records.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "entries/posix_entries.h"
#include "grow_array.h"
#include "held_open.h"
#include "netquill.h"
#include "netquill_calls.h"
#include "tracee_copies.h"

namespace nqrun {
namespace {

nqdrop::TraceEnv g_env;
bool g_recognise;  // attached: sockets made before are asked for
int g_code;        // the error code of the call being recorded

int NQ_CALL GetCode() { return g_code; }
void NQ_CALL SetCode(int) {}

// ---- The sockets each process made, and the threads seen.

struct Process {
  pid_t id;
  uint64_t *made;  // bit fd: a socket the process made
  size_t words;
};

struct Thread {
  pid_t id;
  bool tracing;  // its trace started, with its banner
};

Process *g_processes;
size_t g_process_count, g_process_room;
Thread *g_threads;
size_t g_thread_count, g_thread_room;

Process *FindProcess(pid_t id) {
  for (size_t i = 0; i < g_process_count; ++i)
    if (g_processes[i].id == id) return &g_processes[i];
  return nullptr;
}

Process *ProcessOf(pid_t id) {
  Process *p = FindProcess(id);
  if (p != nullptr ||
      !GrowArray(&g_processes, g_process_count, &g_process_room))
    return p;
  p = &g_processes[g_process_count++];
  *p = Process{id, nullptr, 0};
  return p;
}

Thread *ThreadOf(pid_t id) {
  for (size_t i = 0; i < g_thread_count; ++i)
    if (g_threads[i].id == id) return &g_threads[i];
  if (!GrowArray(&g_threads, g_thread_count, &g_thread_room)) return nullptr;
  Thread *t = &g_threads[g_thread_count++];
  *t = Thread{id, false};
  return t;
}

bool Made(pid_t process, long fd) {
  Process *p = FindProcess(process);
  if (p == nullptr || fd < 0) return false;
  size_t word = static_cast<size_t>(fd) / 64;
  return word < p->words && (p->made[word] >> (fd % 64)) & 1;
}

void MarkMade(pid_t process, long fd, bool made) {
  Process *p = ProcessOf(process);
  if (p == nullptr || fd < 0) return;
  size_t word = static_cast<size_t>(fd) / 64;
  if (word >= p->words) {
    if (!made) return;
    size_t words = word + 1 < 16 ? 16 : (word + 1) * 2;
    void *grown = realloc(p->made, words * sizeof *p->made);
    if (grown == nullptr) return;
    p->made = static_cast<uint64_t *>(grown);
    memset(p->made + p->words, 0, (words - p->words) * sizeof *p->made);
    p->words = words;
  }
  uint64_t bit = uint64_t{1} << (fd % 64);
  p->made[word] = made ? p->made[word] | bit : p->made[word] & ~bit;
}

// ---- The calls.

// The call of the trace's call set a system call is recorded as.
int TracedCallOf(long number) {
  switch (number) {
#define NQ_AS(name, as) \
  case SYS_##name:      \
    return nqdrop::kTraced_##as;
    NQ_ROUTED_CALLS(NQ_AS)
#undef NQ_AS
    default:
      return -1;
  }
}

constexpr long kRecorded[] = {
#define NQ_NUMBER(name, as) SYS_##name,
    NQ_ROUTED_CALLS(NQ_NUMBER)
#undef NQ_NUMBER
};

// The calls on a descriptor that the interposer records only on a socket
// the process made.
bool OnMadeSocketOnly(long number) {
  return number == SYS_read || number == SYS_write || number == SYS_readv ||
         number == SYS_writev || number == SYS_close || number == SYS_sendfile;
}

// The calls whose out-address has its length beside it, at this argument.
int NameLengthArgument(long number) {
  switch (number) {
    case SYS_accept:
    case SYS_accept4:
    case SYS_getsockname:
    case SYS_getpeername:
      return 2;
    case SYS_recvfrom:
      return 5;
    default:
      return -1;
  }
}

// Whether the thread's descriptor fd is a socket, as /proc shows it.
bool IsSocket(pid_t thread, long fd) {
  char link[64], target[32];
  snprintf(link, sizeof link, "/proc/%d/fd/%ld", thread, fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 8 && memcmp(target, "socket:[", 8) == 0;
}

bool DumpsData() { return (g_env.flags & TRACE_FLAG_DUMP) != 0; }

// The bytes of a buffer that a record's dump reads: what moved, as much
// as the dump shows; none when the thread does not dump.
size_t Shown(long moved, unsigned long length) {
  if (!DumpsData() || moved <= 0) return 0;
  size_t n =
      static_cast<size_t>(moved) < length ? static_cast<size_t>(moved) : length;
  if (g_env.dump_max != 0 && g_env.dump_max < n) n = g_env.dump_max;
  return n;
}

// A buffer for a record: a copy of what its dump reads, or the program's
// pointer as it is when nothing is read.
const void *Buffer(unsigned long remote, long moved, unsigned long length) {
  size_t n = Shown(moved, length);
  if (n == 0) return Raw<const void>(remote);
  const void *copy = CopyOf(remote, n);
  return copy != nullptr ? copy : Raw<const void>(remote);
}

// An address the program passed in, length bytes of it.
const sockaddr *AddressIn(unsigned long remote, unsigned long length) {
  size_t n =
      length < sizeof(sockaddr_storage) ? length : sizeof(sockaddr_storage);
  return reinterpret_cast<const sockaddr *>(
      CopyOf(remote, n, sizeof(sockaddr_storage)));
}

// The valid bytes of an out-address: the smaller of the length offered and
// the one reported; none when the call failed.
socklen_t ValidName(long result, unsigned before, unsigned long length_at) {
  socklen_t after = 0;
  if (result < 0 || !ReadValue(length_at, &after)) return 0;
  socklen_t valid = after < before ? after : before;
  return valid < sizeof(sockaddr_storage) ? valid : sizeof(sockaddr_storage);
}

// iovecs of the program as a copy whose buffers are copies of what the
// dump reads of moved bytes; the program's buffers as they are past that.
iovec *Pieces(unsigned long remote, long count, long moved) {
  if (count <= 0 || count > IOV_MAX) return Raw<iovec>(remote);
  iovec *iov = CopyOfType<iovec>(remote, static_cast<size_t>(count));
  if (iov == nullptr) return Raw<iovec>(remote);
  long left = moved;
  for (long i = 0; i < count && left > 0; ++i) {
    unsigned long at = reinterpret_cast<unsigned long>(iov[i].iov_base);
    size_t n = Shown(left, iov[i].iov_len);
    if (n != 0) {
      void *copy = CopyOf(at, n);
      if (copy != nullptr) iov[i].iov_base = copy;
    }
    left -= static_cast<long>(iov[i].iov_len);
  }
  return iov;
}

// A message header of the program as a copy whose address and pieces are
// copies: the address's first name_length bytes.
msghdr *Message(unsigned long remote, long moved, socklen_t name_length) {
  msghdr *msg = CopyOfType<msghdr>(remote);
  if (msg == nullptr) return Raw<msghdr>(remote);
  unsigned long name = reinterpret_cast<unsigned long>(msg->msg_name);
  if (name != 0)
    msg->msg_name = const_cast<sockaddr *>(AddressIn(name, name_length));
  msg->msg_iov = Pieces(reinterpret_cast<unsigned long>(msg->msg_iov),
                        static_cast<long>(msg->msg_iovlen), moved);
  return msg;
}

// The bytes a sendfile sent, read back from its source through /proc: as
// much as the dump shows, from where the call started.
const void *SentFromFile(pid_t process, int in_fd, unsigned long offset_at,
                         long sent) {
  size_t n = Shown(sent, static_cast<unsigned long>(sent));
  if (n == 0) return nullptr;
  char path[64];
  long long at = -1;
  off_t after = 0;
  if (offset_at != 0) {
    if (ReadValue(offset_at, &after)) at = after;
  } else {
    snprintf(path, sizeof path, "/proc/%d/fdinfo/%d", process, in_fd);
    FILE *info = fopen(path, "r");
    if (info != nullptr) {
      if (fscanf(info, "pos: %lld", &at) != 1) at = -1;
      fclose(info);
    }
  }
  if (at < sent) return nullptr;
  snprintf(path, sizeof path, "/proc/%d/fd/%d", process, in_fd);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  char *copy = KeepWithCopies(n);
  size_t got = 0;
  while (copy != nullptr && got < n) {
    ssize_t r = pread(fd, copy + got, n - got, at - sent + got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  return got == n ? copy : nullptr;
}

// The record of a call of the message vectors: the headers as copies,
// each message's pieces copies of what it moved.
void Messages(long number, int fd, const CallAtEntry &call, long result) {
  unsigned vlen = static_cast<unsigned>(call.args[2]);
  int flags = static_cast<int>(call.args[3]);
  unsigned moved = result > 0 ? static_cast<unsigned>(result) : 0;
  if (moved > vlen) moved = vlen;
  mmsghdr *copied =
      moved != 0 ? CopyOfType<mmsghdr>(call.args[1], moved) : nullptr;
  mmsghdr *vec = copied != nullptr ? copied : Raw<mmsghdr>(call.args[1]);
  // Each received address's valid bytes: the length the kernel reported,
  // no more than an address holds (the length offered before the call is
  // not read at the entry of this one).
  socklen_t *valid =
      copied != nullptr ? static_cast<socklen_t *>(calloc(moved, sizeof *valid))
                        : nullptr;
  for (unsigned i = 0; copied != nullptr && i < moved; ++i) {
    msghdr &h = vec[i].msg_hdr;
    socklen_t name = h.msg_namelen < sizeof(sockaddr_storage)
                         ? h.msg_namelen
                         : sizeof(sockaddr_storage);
    if (valid != nullptr) valid[i] = name;
    unsigned long at = reinterpret_cast<unsigned long>(h.msg_name);
    if (at != 0) h.msg_name = const_cast<sockaddr *>(AddressIn(at, name));
    h.msg_iov = Pieces(reinterpret_cast<unsigned long>(h.msg_iov),
                       static_cast<long>(h.msg_iovlen),
                       static_cast<long>(vec[i].msg_len));
  }
  int r = static_cast<int>(result < 0 ? -1 : result);
  if (number == SYS_sendmmsg)
    NQX_sendmmsg(r, fd, vec, vlen, flags);
  else
    NQX_recvmmsg(r, fd, vec, vlen, flags, valid);
  free(valid);
}

// The record of one call, its result as the C library returns it (-1 for a
// failure, whose code the bridge gives).
void Record(pid_t process, const CallAtEntry &call, long result) {
  const unsigned long *a = call.args;
  int fd = static_cast<int>(a[0]);
  long r = result < 0 ? -1 : result;
  int ri = static_cast<int>(r);
  switch (call.number) {
    case SYS_socket:
      TX_socket(ri, fd, static_cast<int>(a[1]), static_cast<int>(a[2]));
      break;
    case SYS_socketpair:
      NQX_socketpair(ri, fd, static_cast<int>(a[1]), static_cast<int>(a[2]),
                     ri == 0 ? CopyOfType<int>(a[3], 2) : Raw<int>(a[3]));
      break;
    case SYS_connect:
      TX_connect(ri, fd, AddressIn(a[1], a[2]), static_cast<socklen_t>(a[2]));
      break;
    case SYS_bind:
      TX_bind(ri, fd, AddressIn(a[1], a[2]), static_cast<socklen_t>(a[2]));
      break;
    case SYS_listen:
      TX_listen(ri, fd, static_cast<int>(a[1]));
      break;
    case SYS_shutdown:
      TX_shutdown(ri, fd, static_cast<int>(a[1]));
      break;
    case SYS_accept:
    case SYS_accept4:
    case SYS_getsockname:
    case SYS_getpeername: {
      socklen_t valid = ValidName(result, call.name_length, a[2]);
      const sockaddr *name =
          a[1] != 0 && a[2] != 0 ? AddressIn(a[1], valid) : nullptr;
      auto *length = Raw<const socklen_t>(a[2]);
      if (call.number == SYS_getsockname)
        NQX_getsockname(ri, fd, name, length, valid);
      else if (call.number == SYS_getpeername)
        NQX_getpeername(ri, fd, name, length, valid);
      else
        NQX_accept(ri, fd, name, length, valid);
      break;
    }
    case SYS_getsockopt:
      TX_getsockopt(ri, fd, static_cast<int>(a[1]), static_cast<int>(a[2]),
                    Raw<void>(a[3]), Raw<socklen_t>(a[4]));
      break;
    case SYS_setsockopt:
      TX_setsockopt(ri, fd, static_cast<int>(a[1]), static_cast<int>(a[2]),
                    Raw<const void>(a[3]), static_cast<socklen_t>(a[4]));
      break;
    case SYS_sendto:
      TX_sendto(r, fd, Buffer(a[1], result, a[2]), a[2], static_cast<int>(a[3]),
                a[4] != 0 ? AddressIn(a[4], a[5]) : nullptr,
                static_cast<socklen_t>(a[5]));
      break;
    case SYS_recvfrom: {
      socklen_t valid = ValidName(result, call.name_length, a[5]);
      NQX_recvfrom(r, fd, Buffer(a[1], result, a[2]), a[2],
                   static_cast<int>(a[3]),
                   a[4] != 0 && a[5] != 0 ? AddressIn(a[4], valid) : nullptr,
                   Raw<const socklen_t>(a[5]), valid);
      break;
    }
    case SYS_read:
      NQX_read(r, fd, Buffer(a[1], result, a[2]), a[2]);
      break;
    case SYS_write:
      NQX_write(r, fd, Buffer(a[1], result, a[2]), a[2]);
      break;
    case SYS_readv:
      NQX_readv(r, fd, Pieces(a[1], static_cast<long>(a[2]), result),
                static_cast<int>(a[2]));
      break;
    case SYS_writev:
      NQX_writev(r, fd, Pieces(a[1], static_cast<long>(a[2]), result),
                 static_cast<int>(a[2]));
      break;
    case SYS_sendmsg:
      NQX_sendmsg(r, fd, a[1] != 0 ? Message(a[1], result, ~0u) : nullptr,
                  static_cast<int>(a[2]));
      break;
    case SYS_recvmsg: {
      msghdr *msg =
          a[1] != 0 ? Message(a[1], result, call.name_length) : nullptr;
      socklen_t valid = 0;
      if (msg != nullptr && result >= 0) {
        msghdr now;
        if (ReadValue(a[1], &now))
          valid = now.msg_namelen < call.name_length ? now.msg_namelen
                                                     : call.name_length;
      }
      NQX_recvmsg(r, fd, msg, static_cast<int>(a[2]), valid);
      break;
    }
    case SYS_sendmmsg:
    case SYS_recvmmsg:
      Messages(call.number, fd, call, result);
      break;
    case SYS_sendfile:
      NQX_sendfile(r, fd, static_cast<int>(a[1]), Raw<const off_t>(a[2]), a[3],
                   SentFromFile(process, static_cast<int>(a[1]), a[2], result));
      break;
    case SYS_close:
      TX_closesocket(ri, fd);
      break;
  }
}

// The process whose record is being written: the labels of -y name its
// descriptors.
pid_t g_record_process = 0;

// A copy of the record's process's descriptor fd, for -y to ask the system
// what it is; -1 when it cannot be had.
int BorrowDescriptor(int fd) {
  int process = static_cast<int>(syscall(SYS_pidfd_open, g_record_process, 0));
  if (process < 0) return -1;
  int copy = static_cast<int>(syscall(SYS_pidfd_getfd, process, fd, 0));
  close(process);
  return copy;
}

}  // namespace

void StartRecords(const nqdrop::TraceEnv &env, int lost_fd) {
  g_env = env;
  NQP_SetCallViews(env.call_times, env.socket_labels, BorrowDescriptor);
  TraceErrorHooks bridge = {GetCode, SetCode};
  WSASetupTrace(&bridge);
  NQP_ShowAddressesAs(ShownAddress);
  if (lost_fd >= 0) NQP_CountLostRecords(lost_fd);
  // One file for every process: held open here, a write per record.
  if (!env.per_process && env.path[0] != '\0') {
    int held = OpenHeldFile(env.path, true);
    if (held >= 0 && !NQP_HoldTraceFile(env.path, held)) close(held);
  }
  NQP_HoldRecords();
}

void WriteHeldRecords() { NQP_WriteHeldRecords(); }

void RecogniseSockets() { g_recognise = true; }

int RecordedCallCount() {
  return static_cast<int>(sizeof kRecorded / sizeof kRecorded[0]);
}

long RecordedCall(int i) { return kRecorded[i]; }

bool TakeEntry(pid_t thread, pid_t process, CallAtEntry *call) {
  int traced = TracedCallOf(call->number);
  if (traced < 0) return false;
  long fd = static_cast<long>(call->args[0]);
  bool makes = call->number == SYS_socket || call->number == SYS_socketpair ||
               call->number == SYS_accept || call->number == SYS_accept4;
  if (OnMadeSocketOnly(call->number) && !Made(process, fd)) {
    if (!g_recognise || !IsSocket(thread, fd)) return false;
    MarkMade(process, fd, true);
  }
  // Forgotten while the number is still the program's: once the call gives
  // it back, another thread may get it at once for a socket of its own.
  if (call->number == SYS_close) MarkMade(process, fd, false);
  call->record =
      nqdrop::Selected(g_env.calls, static_cast<nqdrop::TracedCall>(traced));
  if (!call->record && !makes) return false;
  if (g_env.call_times) {
    clock_gettime(CLOCK_REALTIME, &call->start);
    clock_gettime(CLOCK_MONOTONIC, &call->began);
  }
  call->name_length = 0;
  ReadFromThread(thread);
  int length_at = NameLengthArgument(call->number);
  if (length_at >= 0) {
    socklen_t before = 0;
    if (call->args[length_at - 1] != 0 &&
        ReadValue(call->args[length_at], &before))
      call->name_length = before;
  } else if (call->number == SYS_recvmsg) {
    msghdr msg;
    if (ReadValue(call->args[1], &msg) && msg.msg_name != nullptr)
      call->name_length = msg.msg_namelen;
  }
  return true;
}

void WriteRecord(pid_t thread, pid_t process, const CallAtEntry &call,
                 long result) {
  if (result >= 0) {
    if (call.number == SYS_socket || call.number == SYS_accept ||
        call.number == SYS_accept4)
      MarkMade(process, result, true);
    int pair[2];
    if (call.number == SYS_socketpair && result == 0) {
      ReadFromThread(thread);
      if (ReadValue(call.args[3], &pair)) {
        MarkMade(process, pair[0], true);
        MarkMade(process, pair[1], true);
      }
    }
  }
  if (!call.record) return;
  Thread *t = ThreadOf(thread);
  if (t == nullptr) return;
  NQP_TraceAsThread(static_cast<unsigned>(thread), process);
  if (!t->tracing) {
    char path[nqdrop::kTracePathSize];
    bool named =
        nqdrop::ProcessPath(g_env, static_cast<unsigned long>(process), path);
    t->tracing =
        named && WSAEnableTrace(path[0] != '\0' ? path : nullptr, g_env.flags);
    if (t->tracing) WSASetTraceDumpLimit(g_env.dump_max);
  }
  if (t->tracing) {
    ReadFromThread(thread);
    g_code = result < 0 ? static_cast<int>(-result) : 0;
    if (g_env.call_times) {
      timespec ended;
      clock_gettime(CLOCK_MONOTONIC, &ended);
      NQP_NoteCallTimes(&call.start, &call.began, &ended);
    }
    g_record_process = process;
    NQP_LabelSocketsOf(process);
    Record(process, call, result);
    DropCopies();
  }
  NQP_TraceAsThread(0, 0);
}

void ProcessStarted(pid_t process, pid_t parent) {
  Process *from = FindProcess(parent);
  Process *p = ProcessOf(process);
  if (p == nullptr || from == nullptr || from->words == 0) return;
  p->made = static_cast<uint64_t *>(malloc(from->words * sizeof *p->made));
  if (p->made == nullptr) return;
  memcpy(p->made, from->made, from->words * sizeof *p->made);
  p->words = from->words;
}

namespace {

// Ends the trace of thread, which is forgotten.
void EndThread(pid_t thread, pid_t process) {
  for (size_t i = 0; i < g_thread_count; ++i) {
    if (g_threads[i].id != thread) continue;
    if (g_threads[i].tracing) {
      NQP_TraceAsThread(static_cast<unsigned>(thread), process);
      NQP_ForgetInheritedTrace();
      NQP_TraceAsThread(0, 0);
    }
    g_threads[i] = g_threads[--g_thread_count];
    return;
  }
}

}  // namespace

void ProcessExeced(pid_t process, pid_t former) {
  EndThread(former, process);
  EndThread(process, process);
  Process *p = FindProcess(process);
  if (p != nullptr && p->words != 0)
    memset(p->made, 0, p->words * sizeof *p->made);
}

void ThreadEnded(pid_t thread, pid_t process) {
  EndThread(thread, process);
  if (thread != process) return;
  for (size_t i = 0; i < g_process_count; ++i) {
    if (g_processes[i].id != process) continue;
    free(g_processes[i].made);
    g_processes[i] = g_processes[--g_process_count];
    break;
  }
}

}  // namespace nqrun
