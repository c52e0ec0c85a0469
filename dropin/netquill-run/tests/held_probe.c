/*
 * A program that takes its trace file's path away from itself, then makes
 * three listen() calls that must still be traced, by the held descriptor
 * or by the path:
 *   held_probe CASE DIR   (DIR: the trace file's directory; run as root)
 * prints "pid N", N the process whose file holds the three lines. Cases:
 *   user      DIR made 0700, then the user and group become nobody's
 *   root      the root directory becomes an empty one
 *   forkuser  as user, in a forked child (with -ff: the child's own file)
 *   closeall  every descriptor above 2 closed, then the program's own file
 *             DIR/own takes the held number
 *   dup2      DIR/own is put at the held number with dup2
 * The program's own file must stay empty. Exits 1 where netquill-run holds
 * no descriptor on the trace file (named by NETQUILL_HELD_FD).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static const char *g_dir;
static int g_held;

static int Nobody(void) {
  return chmod(g_dir, 0700) != 0 || setgroups(0, NULL) != 0 ||
         setresgid(65534, 65534, 65534) != 0 ||
         setresuid(65534, 65534, 65534) != 0;
}

static int EmptyRoot(void) {
  char empty[4096];
  snprintf(empty, sizeof empty, "%s/empty", g_dir);
  return mkdir(empty, 0755) != 0 || chroot(empty) != 0 || chdir("/") != 0;
}

static int OwnFile(void) {
  char own[4096];
  snprintf(own, sizeof own, "%s/own", g_dir);
  return open(own, O_WRONLY | O_CREAT | O_APPEND, 0644);
}

static int CloseAll(void) {
  for (int fd = 3; fd < 4096; ++fd) close(fd);
  int own = OwnFile();
  return own < 0 || fcntl(own, F_DUPFD, g_held) != g_held;
}

static int Dup2(void) {
  int own = OwnFile();
  return own < 0 || dup2(own, g_held) != g_held;
}

static int Listens(void) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  int failed = s < 0;
  for (int i = 0; i < 3; ++i) failed |= listen(s, 1) != -1;
  return failed;
}

static int ForkUser(void) {
  pid_t child = fork();
  if (child == 0) _exit(Nobody() || Listens());
  int status = 0;
  printf("pid %d\n", (int)child);
  return child < 0 || waitpid(child, &status, 0) != child || status != 0;
}

static const struct {
  const char *name;
  int (*take_away)(void);
} kCases[] = {{"user", Nobody},
              {"root", EmptyRoot},
              {"forkuser", ForkUser},
              {"closeall", CloseAll},
              {"dup2", Dup2}};

int main(int argc, char **argv) {
  const char *held = getenv("NETQUILL_HELD_FD");
  if (argc != 3 || held == NULL) return 1;
  g_dir = argv[2];
  g_held = atoi(held);
  close(socket(AF_INET, SOCK_DGRAM, 0)); /* the trace starts */
  for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    if (strcmp(argv[1], kCases[i].name) != 0) continue;
    if (kCases[i].take_away == ForkUser) return ForkUser();
    printf("pid %d\n", (int)getpid());
    fflush(stdout);
    return kCases[i].take_away() || Listens();
  }
  return 2;
}
