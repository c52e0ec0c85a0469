/*
 * Each socket call netquill-run records, made once on loopback through
 * the C library function of the system call's own name, with what moved
 * and a few failures: a connect refused, a receive that would block, a
 * send from memory the kernel cannot read. Run from nq_probe and from
 * nq_probe_static, so that its trace can be had through the interposer and
 * at the system calls, and compared. Prints where three of the buffers lie,
 * which the lines must show. A receive a signal breaks off is traced as the
 * program sees it: EINTR from a handler without SA_RESTART, and with
 * SA_RESTART, once, with what the handler sent meanwhile. With "io_uring" it
 * only sets up an io_uring, whose submissions no trace shows; with "lastword"
 * one thread waits in recvfrom while the other sends it a datagram and ends the
 * process at once, the receive done but its thread killed before it returns.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "probe.h"

static struct sockaddr *At(struct sockaddr_in *a) {
  return (struct sockaddr *)a;
}

/* A loopback address and its port, bound by socket s (any port). */
static void Bound(int s, struct sockaddr_in *a) {
  socklen_t n = sizeof *a;
  memset(a, 0, sizeof *a);
  a->sin_family = AF_INET;
  a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, At(a), sizeof *a);
  getsockname(s, At(a), &n);
}

static void Stream(int c, int s) {
  char buf[64], x[3], y[10];
  struct iovec out[2] = {{"ab", 2}, {"cdef", 4}};
  struct iovec in[2] = {{x, sizeof x}, {y, sizeof y}};
  struct iovec one = {buf, sizeof buf};
  struct msghdr sent = {.msg_iov = out, .msg_iovlen = 2};
  struct msghdr got = {.msg_iov = &one, .msg_iovlen = 1};
  write(c, "hello", 5);
  read(s, buf, sizeof buf);
  writev(s, out, 2);
  readv(c, in, 2);
  sendto(c, "zz", 2, 0, NULL, 0);
  recvfrom(s, buf, 2, MSG_WAITALL, NULL, NULL);
  sendmsg(c, &sent, 0);
  recvmsg(s, &got, 0);
  FILE *file = tmpfile();
  off_t at = 0;
  fputs("from a file", file);
  fflush(file);
  sendfile(c, fileno(file), &at, 11);
  read(s, buf, sizeof buf);
  fclose(file);
  fcntl(s, F_SETFL, O_NONBLOCK);
  read(s, buf, sizeof buf); /* would block */
  printf("read %p writev %p sendmsg %p\n", (void *)buf, (void *)out,
         (void *)&sent);
}

static void Datagrams(void) {
  int u = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in a, from, names[2];
  Bound(u, &a);
  char buf[16], r[2][8];
  socklen_t n = sizeof from;
  sendto(u, "dg", 2, 0, At(&a), sizeof a);
  recvfrom(u, buf, sizeof buf, 0, At(&from), &n);
  struct iovec words[2] = {{"one", 3}, {"two", 3}};
  struct iovec room[2] = {{r[0], 8}, {r[1], 8}};
  struct mmsghdr out[2], in[2];
  memset(out, 0, sizeof out);
  memset(in, 0, sizeof in);
  for (int i = 0; i < 2; ++i) {
    out[i].msg_hdr = (struct msghdr){.msg_name = &a,
                                     .msg_namelen = sizeof a,
                                     .msg_iov = &words[i],
                                     .msg_iovlen = 1};
    in[i].msg_hdr = (struct msghdr){.msg_name = &names[i],
                                    .msg_namelen = sizeof names[i],
                                    .msg_iov = &room[i],
                                    .msg_iovlen = 1};
  }
  sendmmsg(u, out, 2, 0);
  recvmmsg(u, in, 2, 0, NULL);
  sendto(u, (const void *)8, 4, 0, At(&a), sizeof a); /* unreadable */
  close(u);
}

static int g_pair[2];

static void Quiet(int signal) { (void)signal; }

static void Send(int signal) {
  (void)signal;
  write(g_pair[1], "!", 1);
}

/* A receive on g_pair[0] broken off by SIGALRM 20 ms in, handled by
 * handler, with or without SA_RESTART. */
static void BrokenOff(void (*handler)(int), int flags) {
  struct sigaction on = {.sa_handler = handler, .sa_flags = flags};
  struct itimerval once = {{0, 0}, {0, 20000}};
  char byte;
  sigaction(SIGALRM, &on, NULL);
  setitimer(ITIMER_REAL, &once, NULL);
  recvfrom(g_pair[0], &byte, 1, 0, NULL, NULL);
}

static int g_waiting = -1;

static void *Receive(void *unused) {
  char buf[8];
  recvfrom(g_waiting, buf, sizeof buf, 0, NULL, NULL);
  return unused;
}

static int LastWord(void) {
  struct sockaddr_in a;
  pthread_t t;
  g_waiting = socket(AF_INET, SOCK_DGRAM, 0);
  Bound(g_waiting, &a);
  pthread_create(&t, NULL, Receive, NULL);
  usleep(20000); /* the receive waits */
  sendto(socket(AF_INET, SOCK_DGRAM, 0), "last", 4, 0, At(&a), sizeof a);
  _exit(0);
}

int EveryCall(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "lastword") == 0) return LastWord();
  if (argc > 1 && strcmp(argv[1], "io_uring") == 0) {
    char params[120] = {0}; /* struct io_uring_params, all zero */
    int ring = (int)syscall(SYS_io_uring_setup, 4, params);
    return ring >= 0 ? close(ring) : 0;
  }
  int l = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a, peer;
  Bound(l, &a);
  listen(l, 4);
  int c = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1, type = 0;
  socklen_t n = sizeof type, pn = sizeof peer;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  connect(c, At(&a), sizeof a);
  int s = accept4(l, At(&peer), &pn, SOCK_CLOEXEC);
  getpeername(c, At(&peer), &pn);
  getsockopt(c, SOL_SOCKET, SO_TYPE, &type, &n);
  Stream(c, s);
  Datagrams();
  close(l); /* nobody listens at a's port now */
  int refused = socket(AF_INET, SOCK_STREAM, 0);
  connect(refused, At(&a), sizeof a);
  socketpair(AF_UNIX, SOCK_STREAM, 0, g_pair);
  BrokenOff(Quiet, 0);
  BrokenOff(Send, SA_RESTART);
  shutdown(c, SHUT_WR);
  close(c);
  close(s);
  close(refused);
  close(g_pair[0]);
  close(g_pair[1]);
  return 0;
}
