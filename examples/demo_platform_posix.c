#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "demo_platform.h"

struct demo_thread {
  pthread_t id;
  demo_thread_fn fn;
  void *arg;
};

static void *run(void *self) {
  demo_thread *t = self;
  t->fn(t->arg);
  return NULL;
}

static int get_errno(void) { return errno; }

static void set_errno(int code) { errno = code; }

void demo_startup(void) {}

void demo_cleanup(void) {}

demo_thread *demo_thread_start(demo_thread_fn fn, void *arg) {
  demo_thread *t = malloc(sizeof *t);
  t->fn = fn;
  t->arg = arg;
  pthread_create(&t->id, NULL, run, t);
  return t;
}

void demo_thread_join(demo_thread *t) {
  pthread_join(t->id, NULL);
  free(t);
}

void demo_sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

TraceErrorHooks demo_error_bridge(void) {
  TraceErrorHooks hooks = {get_errno, set_errno};
  return hooks;
}
