/*
 * Socket calls around processes and threads that the trace must follow:
 * prints "pid N" (the process whose file the checks read under -ff), then
 * runs one case:
 *   race     four threads each make, write to and close 4,000 sockets,
 *            the numbers handed from one thread to another: every write is
 *            traced
 *   vfork    a vfork() child makes the process's first socket call, and
 *            another closes a socket of the parent's: the parent's calls
 *            all land in its own file
 *   syscall  a socket closed through syscall(SYS_close) gets its line
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kRounds = 4000, kThreads = 4 };

static int Connected(void) {
  struct sockaddr_in to;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || connect(s, (struct sockaddr *)&to, sizeof to) != 0) return -1;
  return s;
}

static void *Churn(void *unused) {
  (void)unused;
  for (int i = 0; i < kRounds; ++i) {
    int s = Connected();
    if (s < 0 || write(s, "x", 1) != 1) return (void *)1;
    close(s);
  }
  return NULL;
}

static int Race(void) {
  pthread_t others[kThreads - 1];
  void *failed = NULL;
  int failures = 0;
  for (int i = 0; i < kThreads - 1; ++i)
    pthread_create(&others[i], NULL, Churn, NULL);
  failures += Churn(NULL) != NULL;
  for (int i = 0; i < kThreads - 1; ++i) {
    pthread_join(others[i], &failed);
    failures += failed != NULL;
  }
  return failures != 0;
}

static int VforkChild(int s) {
  pid_t pid = vfork();
  if (pid == 0) {
    close(s >= 0 ? s : socket(AF_INET, SOCK_DGRAM, 0));
    _exit(0);
  }
  return pid > 0 && waitpid(pid, NULL, 0) == pid ? 0 : 1;
}

static int Vfork(void) {
  int failed = VforkChild(-1);
  int s = Connected();
  failed |= s < 0 || VforkChild(s);
  failed |= write(s, "parent", 6) != 6 || listen(s, 1) != -1;
  return failed;
}

static int Syscall(void) {
  int s = Connected();
  return s < 0 || syscall(SYS_close, s) != 0;
}

int main(int argc, char **argv) {
  printf("pid %d\n", (int)getpid());
  fflush(stdout);
  if (argc > 1 && strcmp(argv[1], "race") == 0) return Race();
  if (argc > 1 && strcmp(argv[1], "vfork") == 0) return Vfork();
  if (argc > 1 && strcmp(argv[1], "syscall") == 0) return Syscall();
  return 2;
}
