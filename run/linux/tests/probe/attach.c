/* The attach tests' programs.
 *
 * "echo": a loopback echo server: prints its port, then
 * serves one connection after another, echoing with recv and send (the
 * second connection of each pair with read and write), until a client
 * sends "quit"; exits 0. It blocks in accept and recv like any server, a
 * receive with a timeout (SO_RCVTIMEO), which the kernel ends with EINTR
 * when the wait is broken off: exits 4 should one ever see it. With
 * "spin", it only runs its own code instead, on eight threads and its
 * main one, never waiting in a system call. With "busy", it waits for a
 * line on standard input, then joins a thread that computes for 10 ms and
 * calls listen(), again and again: no thread waits in a system call any
 * more.
 *
 * "pause": waits to be killed; in nq_probe_static, a static program, which
 * netquill-run -p refuses: it has no dynamic C library to load the
 * interposer. */
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "probe.h"

static void *Spin(void *arg) {
  for (volatile unsigned long n = 0;; n = n + 1) {
  }
  return arg;
}

static void *ComputeAndListen(void *arg) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  for (;;) {
    struct timespec from, now;
    clock_gettime(CLOCK_MONOTONIC, &from);
    do clock_gettime(CLOCK_MONOTONIC, &now);
    while ((now.tv_sec - from.tv_sec) * 1000000000L + now.tv_nsec -
               from.tv_nsec <
           10000000L);
    listen(s, 1);
  }
  return arg;
}

int AttachEcho(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "busy") == 0) {
    char line[8];
    pthread_t t;
    puts("waiting");
    fflush(stdout);
    if (read(0, line, sizeof line) <= 0) return 1;
    pthread_create(&t, NULL, ComputeAndListen, NULL);
    pthread_join(t, NULL);
  }
  if (argc > 1 && strcmp(argv[1], "spin") == 0) {
    pthread_t t;
    for (int i = 0; i < 8; ++i) pthread_create(&t, NULL, Spin, NULL);
    puts("spinning");
    fflush(stdout);
    Spin(NULL);
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, (struct sockaddr *)&a, sizeof a) != 0 ||
      listen(s, 8) != 0 || getsockname(s, (struct sockaddr *)&a, &len) != 0)
    return 1;
  printf("%d\n", ntohs(a.sin_port));
  fflush(stdout);
  for (int n = 0;; ++n) {
    int c = accept(s, NULL, NULL);
    if (c < 0) return 2;
    struct timeval minute = {60, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &minute, sizeof minute);
    char buf[4096];
    ssize_t got;
    while ((got = n % 2 ? read(c, buf, sizeof buf)
                        : recv(c, buf, sizeof buf, 0)) > 0) {
      if (got == 4 && memcmp(buf, "quit", 4) == 0) return 0;
      if ((n % 2 ? write(c, buf, (size_t)got) : send(c, buf, (size_t)got, 0)) !=
          got)
        return 3;
    }
    if (got < 0 && errno == EINTR) return 4;
    close(c);
  }
}

int AttachPause(int argc, char **argv) {
  (void)argc;
  (void)argv;
  for (;;) pause();
}
