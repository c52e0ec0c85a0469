/* pthreads and nanosleep under -std=c11. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "net_shim.h"

static int NQ_CALL GetErrno(void) { return errno; }

static void NQ_CALL SetErrno(int code) { errno = code; }

void NqNetStartup(void) {}

void NqNetCleanup(void) {}

int NqNetClose(NQ_SOCKET s) { return close(s); }

int NqNetIsInvalid(NQ_SOCKET s) { return s < 0; }

int NqNetLastError(void) { return errno; }

TraceErrorHooks NqNetErrorBridge(void) {
  TraceErrorHooks hooks = {GetErrno, SetErrno};
  return hooks;
}

int NqNetRefusedCode(void) { return ECONNREFUSED; }

int NqNetWouldBlockCode(void) { return EWOULDBLOCK; }

int NqNetSetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on) {
  *on = 1;
  return ioctl(s, FIONBIO, on);
}

long NqNetNonBlockingCommand(void) { return FIONBIO; }

int NqNetNoDelayOption(void) { return TCP_NODELAY; }

struct NqThread {
  pthread_t id;
  NqThreadFn fn;
  void *arg;
};

static void *Run(void *self) {
  NqThread *t = self;
  t->fn(t->arg);
  return NULL;
}

NqThread *NqThreadStart(NqThreadFn fn, void *arg) {
  NqThread *t = malloc(sizeof *t);
  t->fn = fn;
  t->arg = arg;
  pthread_create(&t->id, NULL, Run, t);
  return t;
}

void NqThreadJoin(NqThread *t) {
  pthread_join(t->id, NULL);
  free(t);
}

void NqSleepMs(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}
