/*
 * A process whose 128 threads all trace forks: the child has only the
 * forking thread, which keeps its trace, and every other context is gone,
 * so that the child's own threads find room in the table. Linked against the
 * shared library as a program is. Exits 0 when the child saw both.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "netquill.h"

enum { kOthers = 127 };

static const char *g_file;
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
static int g_enabled, g_released;

static void *Other(void *unused) {
  (void)unused;
  int ok = WSAEnableTrace(g_file, 0);
  pthread_mutex_lock(&g_mutex);
  g_enabled += ok;
  pthread_cond_broadcast(&g_cond);
  while (!g_released) pthread_cond_wait(&g_cond, &g_mutex);
  pthread_mutex_unlock(&g_mutex);
  WSADisableTrace();
  return NULL;
}

/* A thread of the child's own finds room in the table only if the dead
 * threads' contexts are gone: one live context, the forking thread's. (No
 * thread is started: under ThreadSanitizer a multi-threaded process's child
 * may not.) */
static int Child(void) {
  int usage = WSAGetTraceUsage();
  int wrote = NetQuillWrite(0, "the forking thread, in the child", 0);
  printf("child: %d context(s), forking thread wrote %d\n", usage, wrote);
  fflush(stdout);
  return usage == 1 && wrote == 1 ? 0 : 1;
}

int main(int argc, char **argv) {
  pthread_t others[kOthers];
  int status = -1;
  if (argc != 2) return 2;
  g_file = argv[1];
  if (!WSAEnableTrace(g_file, 0)) return 2;
  for (int i = 0; i < kOthers; ++i)
    pthread_create(&others[i], NULL, Other, NULL);
  pthread_mutex_lock(&g_mutex);
  while (g_enabled < kOthers) pthread_cond_wait(&g_cond, &g_mutex);
  pthread_mutex_unlock(&g_mutex);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) _exit(Child());
  waitpid(pid, &status, 0);
  pthread_mutex_lock(&g_mutex);
  g_released = 1;
  pthread_cond_broadcast(&g_cond);
  pthread_mutex_unlock(&g_mutex);
  for (int i = 0; i < kOthers; ++i) pthread_join(others[i], NULL);
  WSADisableTrace();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
}
