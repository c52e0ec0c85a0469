/*
 * Prints the errno a program sees around its socket calls, so that runs
 * with and without netquill-run can be compared line for line: a call
 * that succeeds leaves errno alone, also the first call of a thread (when
 * the interposer starts that thread's trace) and a close of a plain file.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "probe.h"

static void *OtherThread(void *unused) {
  char name[256];
  int r;
  (void)unused;
  errno = 4246;
  r = gethostname(name, sizeof name);
  printf("thread gethostname %d errno %d\n", r, errno);
  fprintf(stderr, "host %s\n", name);
  return NULL;
}

int ErrnoSeen(int argc, char **argv) {
  struct sockaddr_in addr;
  socklen_t len = sizeof addr;
  pthread_t thread;
  int s, r, fd, pending = -1;
  (void)argc;
  (void)argv;

  errno = 4242;
  s = socket(AF_INET, SOCK_STREAM, 0);
  printf("socket ok %d errno %d\n", s >= 0, errno);
  fprintf(stderr, "socket %d\n", s);
  errno = 4243;
  r = getsockname(s, (struct sockaddr *)&addr, &len);
  printf("getsockname %d errno %d\n", r, errno);
  errno = 4244;
  r = ioctl(s, FIONREAD, &pending);
  printf("ioctl %d pending %d errno %d\n", r, pending, errno);

  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(1);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  errno = 0;
  r = connect(s, (struct sockaddr *)&addr, sizeof addr);
  printf("connect %d errno %d\n", r, errno);
  errno = 4245;
  r = close(s);
  printf("close %d errno %d\n", r, errno);
  r = close(s);
  printf("close again %d errno %d\n", r, errno);

  fd = open("/dev/null", O_RDONLY);
  errno = 4247;
  r = ioctl(fd, FIONREAD, &pending);
  printf("file ioctl %d errno %d\n", r, errno);
  errno = 4248;
  r = close(fd);
  printf("file close %d errno %d\n", r, errno);

  pthread_create(&thread, NULL, OtherThread, NULL);
  pthread_join(thread, NULL);
  return 0;
}
