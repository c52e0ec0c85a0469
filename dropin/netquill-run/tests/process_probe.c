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
 * or takes its trace file's path or held descriptor (NETQUILL_HELD_FD; none
 * fails) away from itself (run as root), then makes three listen() calls:
 *   user     the file's directory made 0700, then user and group nobody's
 *   root     the root directory made an empty one
 *   forkuser as user, in a forked child, whose pid it prints instead
 *   closeall every descriptor above 2 closed, then a file of its own put
 *            at the held number; dup2: put there with dup2. It stays empty
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

static char g_dir[4096];
static int g_held = -1, g_own = -1;

static int Nobody(void) {
  return chmod(g_dir, 0700) || setgroups(0, NULL) ||
         setresgid(65534, 65534, 65534) || setresuid(65534, 65534, 65534);
}

static int EmptyRoot(void) {
  strcat(g_dir, "/empty");
  return mkdir(g_dir, 0755) || chroot(g_dir) || chdir("/");
}

static int Own(void) {
  strcat(g_dir, "/own");
  return (g_own = open(g_dir, O_WRONLY | O_CREAT, 0644)) < 0;
}

static int CloseAll(void) {
  for (int fd = 3; fd < 4096; ++fd) close(fd);
  return Own() || fcntl(g_own, F_DUPFD, g_held) != g_held;
}

static int Dup2(void) { return Own() || dup2(g_own, g_held) != g_held; }

static int Listens(void) {
  struct stat own;
  int s = socket(AF_INET, SOCK_DGRAM, 0), failed = s < 0;
  for (int i = 0; i < 3; ++i) failed |= listen(s, 1) != -1;
  return failed || (g_own >= 0 && (fstat(g_own, &own) || own.st_size != 0));
}

static const struct {
  const char *name;
  int (*take_away)(void);
} kHeld[] = {{"user", Nobody},
             {"root", EmptyRoot},
             {"forkuser", Nobody},
             {"closeall", CloseAll},
             {"dup2", Dup2}};

static int Held(int i) {
  const char *file = getenv("NETQUILL_FILE"),
             *held = getenv("NETQUILL_HELD_FD");
  if (file == NULL || held == NULL) return 1;
  snprintf(g_dir, sizeof g_dir, "%s", file);
  dirname(g_dir);
  g_held = atoi(held);
  close(socket(AF_INET, SOCK_DGRAM, 0)); /* the trace starts */
  pid_t child = strcmp(kHeld[i].name, "forkuser") == 0 ? fork() : -2;
  if (child == 0) _exit(Nobody() || Listens());
  if (child == -2) return kHeld[i].take_away() || Listens();
  int status = 1;
  printf("pid %d\n", (int)child);
  return child < 0 || waitpid(child, &status, 0) != child || status != 0;
}

int main(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "forkuser") != 0)
    printf("pid %d\n", (int)getpid());
  fflush(stdout);
  for (size_t i = 0; argc > 1 && i < sizeof kHeld / sizeof kHeld[0]; ++i)
    if (strcmp(argv[1], kHeld[i].name) == 0) return Held((int)i);
  if (argc > 1 && strcmp(argv[1], "race") == 0) return Race();
  if (argc > 1 && strcmp(argv[1], "vfork") == 0) return Vfork();
  if (argc > 1 && strcmp(argv[1], "syscall") == 0) return Syscall();
  return 2;
}
