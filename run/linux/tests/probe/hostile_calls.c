/* Calls whose trace lied or killed the program; the trace must show what
 * the calls did, and the program run as it does untraced. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "probe.h"

static struct sockaddr_in lo = {AF_INET, 0, {0}, {0}};
static socklen_t n = sizeof lo;
static char buf[32] = "ZZZZ", *edge;
static struct iovec iov = {buf, 4};
static struct msghdr msg = {&lo, sizeof lo, &iov, 1, NULL, 0, 0};
static struct mmsghdr vec[2000];
static int s, a, sp[2];

static int Bound(int type) {
  int fd = socket(AF_INET, type, 0);
  lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK), lo.sin_port = 0;
  bind(fd, (void *)&lo, n);
  return getsockname(fd, (void *)&lo, &n), fd;
}

static void Sends(int sig) { /* the process's or the thread's first call */
  if (sp[0] == 0) socketpair(AF_UNIX, SOCK_STREAM, 0, sp);
  write(sp[0], buf, 4), send(sp[0], buf, 4, 0), sendmsg(sp[0], &msg, 0);
  send(-1, buf, 1, 0), (void)sig;
}

static void *OnAltStack(void *arg) { /* 8 KiB, a faulting page below */
  char *low = mmap(NULL, 12288, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  stack_t ss = {low + 4096, 0, 8192};
  struct sigaction sa = {.sa_handler = Sends, .sa_flags = SA_ONSTACK};
  int untouched = 0;
  mprotect(ss.ss_sp, 8192, PROT_READ | PROT_WRITE), sigaltstack(&ss, NULL);
  memset(ss.ss_sp, 0xA5, 8192), sigaction(SIGUSR1, &sa, NULL);
  pthread_kill(pthread_self(), SIGUSR1);
  while (untouched < 8192 && low[4096 + untouched] == (char)0xA5) ++untouched;
  fprintf(stderr, "alternate stack: %d of 8192 bytes used\n", 8192 - untouched);
  return arg;
}

int HostileCalls(int argc, char **argv) {
  char c = argc > 1 ? argv[1][0] : 0;
  pthread_t t;
  if (c == 't') { /* MSG_TRUNC: TCP discards, leaves ZZZZ; UDP fills */
    listen(s = Bound(SOCK_STREAM), 1), a = socket(AF_INET, SOCK_STREAM, 0);
    connect(a, (void *)&lo, n), s = accept(s, NULL, NULL);
    msg.msg_name = NULL, vec[0].msg_hdr = msg, send(a, "data4567data", 12, 0);
    recv(s, buf, 4, MSG_TRUNC), recvmsg(s, &msg, MSG_TRUNC);
    recvfrom(s, buf, 4, MSG_TRUNC, 0, 0), send(a, "data", 4, 0);
    recvmmsg(s, vec, 1, MSG_TRUNC, 0), s = Bound(SOCK_DGRAM);
    sendto(s, "0123456789", 10, 0, (void *)&lo, n), recv(s, buf, 4, 32);
  } else if (c == 'f') { /* failed: no address written, 10.1.2.3:80 kept */
    lo.sin_addr.s_addr = htonl(0x0A010203), lo.sin_port = htons(80);
    listen(s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), 1);
    accept(s, (void *)&lo, &n), getpeername(s, (void *)&lo, &n);
    recvfrom(s = socket(2, 2, 0), buf, 4, 64, (void *)&lo, &n);
    recvmsg(s, &msg, 64), recvmmsg(s, vec, 2000, MSG_DONTWAIT, NULL);
  } else if (c == 'e') { /* unreadable: EFAULT, not SIGSEGV */
    edge = mmap(NULL, 8192, 3, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) + 4094;
    *(short *)edge = AF_INET, msg.msg_name = edge, s = Bound(SOCK_DGRAM);
    mprotect(edge + 2, 4096, PROT_NONE),
        bind(socket(2, 2, 0), (void *)edge, 16);
    connect(socket(2, 1, 0), (void *)edge, 16), sendmsg(s, &msg, 0);
    sendto(s, "x", 1, 0, (void *)edge, 16), recvmsg(s, (void *)(edge + 2), 64);
    recvmmsg(s, (void *)(edge + 2), 1, MSG_DONTWAIT, NULL);
    getsockname(s, (void *)&lo, (void *)(edge + 2)); /* lengths unreadable */
    recvfrom(s, buf, 4, MSG_DONTWAIT, (void *)&lo, (void *)(edge + 2));
    listen(a = socket(2, SOCK_STREAM | SOCK_NONBLOCK, 0), 1);
    accept(a, (void *)&lo, (void *)(edge + 2));
    accept4(a, (void *)&lo, (void *)(edge + 2), 0);
    getpeername(a, (void *)&lo, (void *)(edge + 2));
    connect(-1, (void *)(edge + 2), 16), bind(0, (void *)(edge + 2), 16);
    sendto(-1, "x", 1, 0, (void *)(edge + 2), 16); /* no socket: unread */
    sendmsg(-1, (void *)(edge + 2), 0), recvmsg(0, (void *)(edge + 2), 0);
    edge = mmap(NULL, 12288, 3, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mprotect(edge + 4096, 4096, PROT_NONE); /* vec[1..64] unreadable */
    recvmmsg(s, (void *)(edge + 4032), 66, MSG_DONTWAIT, NULL);
  } else if (c == 'z') { /* the zone the program sees, and its input */
    printf("%s %s %ld %d %zd\n", tzname[0], tzname[1], timezone, daylight,
           read(0, buf, sizeof buf));
  } else if (c == 'c') { /* 2,000 records of calls that cost one each */
    socketpair(AF_UNIX, SOCK_DGRAM, 0, sp);
    for (int i = 0; i < 2000; ++i) send(sp[0], "x", 1, MSG_DONTWAIT);
  } else if (c == 'l') { /* every record lost, then exit N or raise -N */
    struct rlimit one = {1, 1};
    int end = atoi(argv[1] + 1), err = fileno(tmpfile());
    dup2(err, 2), signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &one);
    close(socket(2, 1, 0)), close(socket(2, 2, 0)), close(socket(2, 1, 0));
    printf("own stderr: %ld bytes\n", (long)lseek(err, 0, SEEK_END));
    fflush(stdout), end < 0 ? raise(-end) : 0;
    return end;
  } else if (c == 'w') { /* a signal sent to netquill-run reaches it */
    sigset_t term;
    int got = 0;
    sigemptyset(&term), sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, NULL), alarm(20);
    puts("ready"), fflush(stdout), sigwait(&term, &got);
    printf("got %d\n", got);
    return 4;
  } else if (c == 'a') {
    OnAltStack(NULL), pthread_create(&t, NULL, OnAltStack, NULL);
    pthread_join(t, NULL), puts("handled");
  }
  return 0;
}
