#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include "demo_platform.h"

struct DemoThread {
  pthread_t id;
  DemoThreadFn fn;
  void *arg;
};

static void *Run(void *self) {
  DemoThread *t = self;
  t->fn(t->arg);
  return NULL;
}

DemoThread *DemoThreadStart(DemoThreadFn fn, void *arg) {
  DemoThread *t = malloc(sizeof *t);
  t->fn = fn;
  t->arg = arg;
  pthread_create(&t->id, NULL, Run, t);
  return t;
}

void DemoThreadJoin(DemoThread *t) {
  pthread_join(t->id, NULL);
  free(t);
}

void DemoSleepMs(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}
