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
 *   shim     under a shim whose close() is syscall(SYS_close) (close_shim.c),
 *            one socket closed by close(), another by syscall(): a line
 *            each, and neither call comes back to the interposer
 *   library  the race's four threads, while two more trace through
 *            libnetquill.so itself into the same file, 4,000 sends each:
 *            two writers of one file, neither record torn or lost
 * Or it takes its trace file's path or held descriptor (NETQUILL_HELD_FD; none
 * fails) away from itself as root, then makes three listen() calls: user
 * (its directory 0700, then user nobody), forkuser (the same in a child,
 * whose pid it prints), root (an empty root directory), closeall and dup2
 * (its own file, which stays empty, at the held number).
 *   vforksignal  a SIGALRM handler vfork()s 200 times, the child ending at
 *            once, while two threads malloc and free: as quick as untraced,
 *            never waiting for a lock the handler interrupted
 *   dup2race  (without -ff) 40 forked children, each of which dup2()s its
 *            own file onto the held number while another thread traces:
 *            not one record may land in the children's own files
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "probe.h"
#ifdef NQ_PROBE_LIBRARY
#include "netquill.h"
#endif

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

/* Only nq_probe_library links libnetquill.so: the others have no
 * "library". */
#ifdef NQ_PROBE_LIBRARY
static void *SendThroughLibrary(void *path) {
  if (!WSAEnableTrace((const char *)path, TRACE_FLAG_DUMP)) return (void *)1;
  for (int i = 0; i < kRounds; ++i) TX_send(5, 5, "hello", 5, 0);
  WSADisableTrace();
  return NULL;
}

static int Library(void) {
  static char path[4096];
  const char *base = getenv("NETQUILL_FILE");
  if (base == NULL) return 1;
  snprintf(path, sizeof path, "%s.%d", base, (int)getpid());
  pthread_t senders[2];
  void *failed = NULL;
  int failures = 0;
  for (int i = 0; i < 2; ++i)
    pthread_create(&senders[i], NULL, SendThroughLibrary, path);
  failures += Race();
  for (int i = 0; i < 2; ++i) {
    pthread_join(senders[i], &failed);
    failures += failed != NULL;
  }
  return failures;
}
#endif

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

static int Shim(void) {
  int by_close = Connected(), by_syscall = Connected();
  if (by_close < 0 || by_syscall < 0) return 1;
  return close(by_close) != 0 || syscall(SYS_close, by_syscall) != 0;
}

static char g_dir[4096];
static int g_held = -1, g_own = -1;

/* The held cases: what each takes away, by its place in the table. */
static const char *const kHeld[] = {"user", "forkuser", "root", "closeall",
                                    "dup2"};

static int TakeAway(int i) {
  if (i < 2)
    return chmod(g_dir, 0700) || setgroups(0, NULL) ||
           setresgid(65534, 65534, 65534) || setresuid(65534, 65534, 65534);
  if (i == 2)
    return mkdir(strcat(g_dir, "/empty"), 0755) || chroot(g_dir) || chdir("/");
  for (int fd = 3; i == 3 && fd < 4096; ++fd) close(fd);
  g_own = open(strcat(g_dir, "/own"), O_WRONLY | O_CREAT, 0644);
  return (i == 3 ? fcntl(g_own, F_DUPFD, g_held) : dup2(g_own, g_held)) !=
         g_held;
}

static int Listens(void) {
  struct stat own;
  int s = socket(AF_INET, SOCK_DGRAM, 0), failed = s < 0;
  for (int i = 0; i < 3; ++i) failed |= listen(s, 1) != -1;
  return failed || (g_own >= 0 && (fstat(g_own, &own) || own.st_size != 0));
}

static int Held(int i) {
  const char *file = getenv("NETQUILL_FILE"),
             *held = getenv("NETQUILL_HELD_FD");
  if (file == NULL || held == NULL) return 1;
  snprintf(g_dir, sizeof g_dir, "%s", file);
  dirname(g_dir);
  g_held = atoi(held);
  close(socket(AF_INET, SOCK_DGRAM, 0)); /* the trace starts */
  pid_t child = i == 1 ? fork() : -2;
  if (child == 0) _exit(TakeAway(i) || Listens());
  if (child == -2) return TakeAway(i) || Listens();
  int status = 1;
  printf("pid %d\n", (int)child);
  return child < 0 || waitpid(child, &status, 0) != child || status != 0;
}

static volatile int g_vforks, g_churning = 1;

static void VforkOnAlarm(int signal) {
  (void)signal;
  pid_t child = vfork();
  if (child == 0) _exit(0);
  if (child > 0 && waitpid(child, NULL, 0) == child) ++g_vforks;
}

static void *Allocating(void *arg) {
  for (size_t n = 64; g_churning; n = n % 4096 + 64) free(malloc(n));
  return arg;
}

static int VforkSignal(void) {
  pthread_t t;
  pthread_create(&t, NULL, Allocating, NULL);
  struct sigaction on = {.sa_handler = VforkOnAlarm, .sa_flags = SA_RESTART};
  sigaction(SIGALRM, &on, NULL);
  struct itimerval every = {{0, 1000}, {0, 1000}}, off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &every, NULL);
  for (size_t n = 64; g_vforks < 200; n = n % 4096 + 64) free(malloc(n));
  setitimer(ITIMER_REAL, &off, NULL);
  g_churning = 0;
  return pthread_join(t, NULL);
}

static volatile int g_listens;

static void *Listening(void *socket) {
  for (int i = 0; i < 2000; ++i, ++g_listens) listen(*(int *)socket, 1);
  return NULL;
}

static int Dup2Race(void) {
  const char *file = getenv("NETQUILL_FILE"),
             *held = getenv("NETQUILL_HELD_FD");
  if (file == NULL || held == NULL) return 1;
  char own[4200];
  snprintf(own, sizeof own, "%s.own", file);
  for (int round = 0; round < 40; ++round) {
    pid_t child = fork();
    if (child == 0) {
      int s = socket(AF_INET, SOCK_DGRAM, 0);
      pthread_t t;
      pthread_create(&t, NULL, Listening, &s);
      int fd = open(own, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      while (g_listens < 100) {
      } /* the other thread writes its records now */
      struct stat st;
      int failed = dup2(fd, atoi(held)) < 0;
      pthread_join(t, NULL);
      _exit(failed || fstat(fd, &st) != 0 || st.st_size != 0);
    }
    int status = 1;
    if (child < 0 || waitpid(child, &status, 0) != child || status != 0)
      return 1;
  }
  return 0;
}

int Processes(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "forkuser") != 0)
    printf("pid %d\n", (int)getpid());
  fflush(stdout);
  for (size_t i = 0; argc > 1 && i < sizeof kHeld / sizeof kHeld[0]; ++i)
    if (strcmp(argv[1], kHeld[i]) == 0) return Held((int)i);
  if (argc > 1 && strcmp(argv[1], "race") == 0) return Race();
#ifdef NQ_PROBE_LIBRARY
  if (argc > 1 && strcmp(argv[1], "library") == 0) return Library();
#endif
  if (argc > 1 && strcmp(argv[1], "vfork") == 0) return Vfork();
  if (argc > 1 && strcmp(argv[1], "syscall") == 0) return Syscall();
  if (argc > 1 && strcmp(argv[1], "shim") == 0) return Shim();
  if (argc > 1 && strcmp(argv[1], "dup2race") == 0) return Dup2Race();
  if (argc > 1 && strcmp(argv[1], "vforksignal") == 0) return VforkSignal();
  return 2;
}
