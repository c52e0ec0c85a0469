/* A program a tracer must leave as it is: socket calls in a signal handler,
 * a thread cancelled inside the library, a file-size limit. "direct" calls
 * the hooks itself, "run" leaves that to netquill-run.
 * Usage: nq_safety_probe signal|smoke|cancel|fsize|table direct|run FILE */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "netquill.h"

static int direct;
static const char *path;
static volatile sig_atomic_t in_handler, unsafe_calls, enabled;

/* What a signal handler must never reach: each counts a call made in one. */
void *__libc_malloc(size_t), *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t), __libc_free(void *);
#define SEEN() (unsafe_calls += in_handler)
#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
void *malloc(size_t n) { return SEEN(), __libc_malloc(n); }
void *calloc(size_t n, size_t m) { return SEEN(), __libc_calloc(n, m); }
void *realloc(void *p, size_t n) { return SEEN(), __libc_realloc(p, n); }
void free(void *p) { SEEN(), __libc_free(p); }
void tzset(void) { SEEN(), REAL(tzset)(); }
time_t mktime(struct tm *tm) { return SEEN(), REAL(mktime)(tm); }
struct tm *localtime(const time_t *t) {
  return SEEN(), REAL(localtime)(t);
}
struct tm *localtime_r(const time_t *t, struct tm *tm) {
  static struct tm *(*real)(const time_t *, struct tm *);
  return SEEN(), (real ? real : (real = REAL(localtime_r)))(t, tm);
}

static void socket_and_close(void) {
  if (direct && !enabled) enabled = WSAEnableTrace(path, 0);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (direct) TX_socket(s, AF_INET, SOCK_STREAM, 0);
  int r = close(s);
  if (direct) TX_closesocket(r, s);
}

static void on_alarm(int sig) {
  in_handler = 1;
  socket_and_close(); /* the thread's first: it enables */
  in_handler = sig - sig;
}

static void *first_calls(void *cancel) { /* the second: "cancel" != NULL */
  if (cancel) pthread_cancel(pthread_self());
  if (cancel || !direct) socket_and_close();
  pthread_testcancel();
  return NULL;
}

static void smoke(void) {
  struct itimerval every = {{0, 2000}, {0, 2000}};
  setitimer(ITIMER_REAL, &every, NULL);
  for (time_t t0 = time(NULL), t = t0; t < t0 + 2; t = time(NULL)) {
    struct tm tm;
    free(malloc(64 + localtime_r(&t, &tm)->tm_sec));
  }
}

static void cancel(void) {
  pthread_t thread;
  void *result = NULL;
  pthread_create(&thread, NULL, first_calls, &thread);
  pthread_join(thread, &result);
  enabled = 0;
  socket_and_close(); /* waits for ever if the lock went with the thread */
  if (result != PTHREAD_CANCELED) _exit(4);
}

static long existing, limit;

static void fsize(void) {
  FILE *f = fopen(path, "wb");
  for (long i = 0; i < existing; i += 10) fputs("12345678\r\n", f);
  fclose(f);
  setrlimit(RLIMIT_FSIZE, &(struct rlimit){limit, RLIM_INFINITY});
  for (int i = 0; i < 100; ++i) socket_and_close();
}

/* 128 threads hold every slot while main's first call is refused; once
 * they end, main's next call is traced. */
static pthread_barrier_t holding, refused;

static void *holder(void *arg) {
  socket_and_close();
  pthread_barrier_wait(&holding);
  pthread_barrier_wait(&refused);
  return arg;
}

static void table_full(void) {
  pthread_t threads[128];
  pthread_barrier_init(&holding, NULL, 129);
  pthread_barrier_init(&refused, NULL, 129);
  for (int i = 0; i < 128; ++i) pthread_create(&threads[i], NULL, holder, NULL);
  pthread_barrier_wait(&holding);
  socket_and_close();
  pthread_barrier_wait(&refused);
  for (int i = 0; i < 128; ++i) pthread_join(threads[i], NULL);
  socket_and_close();
}

/* Runs body in a child under a watchdog; the child's wait status or -1. */
static int in_child(void (*body)(void)) {
  pid_t pid = fork();
  if (pid == 0) body(), _exit(unsafe_calls ? 3 : 0);
  for (int tenths = 0; tenths < 300; ++tenths, usleep(100000)) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
  }
  kill(pid, SIGKILL), waitpid(pid, NULL, 0), fputs("hung\n", stderr);
  return -1;
}

/* The trace's size, and how often what occurs in it. */
static long trace(const char *what, int *count) {
  static char text[1 << 16];
  FILE *f = fopen(path, "rb");
  long size = f ? (long)fread(text, 1, sizeof text - 1, f) : 0;
  if (f) fclose(f);
  text[size] = '\0';
  *count = 0;
  for (char *at = text; (at = strstr(at, what)) != NULL; ++at) ++*count;
  return size > 1 && strcmp(text + size - 2, "\r\n") == 0 ? size : -1;
}

/* How often what occurs in the trace once it does want times, or after a
 * second: under netquill-run the records reach the file from the
 * launcher, a moment after their calls. */
static int settled(const char *what, int want) {
  int count = 0;
  for (int i = 0; i < 1000; ++i) {
    trace(what, &count);
    if (count == want) break;
    usleep(1000);
  }
  return count;
}

int main(int argc, char **argv) {
  if (argc != 4) return 2;
  direct = strcmp(argv[2], "direct") == 0;
  unlink(path = argv[3]);
  signal(SIGALRM, on_alarm);
  pthread_t thread; /* netquill-run's lookups, not in a handler */
  pthread_create(&thread, NULL, first_calls, NULL);
  pthread_join(thread, NULL);
  int banners, ok = 1;
  switch (argv[1][0] + argv[1][1]) {
    case 's' + 'i': /* by each thread that traced, the handler's included */
      raise(SIGALRM);
      banners = settled("INF: started process", 2 - direct);
      return unsafe_calls || banners != 2 - direct;
    case 's' + 'm':
      return in_child(smoke) != 0;
    case 'c' + 'a':
      return in_child(cancel) != 0;
    case 't' + 'a': /* under netquill-run only */
      table_full();
      return settled("INF: started process", 130) != 130;
  }
  /* Over the limit already: nothing; with room for some records: those.
   * The first thread's records are in the file before it is replaced. */
  if (!direct) settled("INF: started process", 1);
  existing = 20000, limit = 10000;
  ok = in_child(fsize) == 0 && trace("\n", &banners) == existing;
  existing = 9000;
  ok = ok && in_child(fsize) == 0;
  settled("INF: started process", 1);
  long size = trace("INF: started process", &banners);
  return !ok || banners != 1 || size <= existing || size > limit;
}
