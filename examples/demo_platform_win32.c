// winsock2.h must come before windows.h, which would bring the old one.
#include <winsock2.h>

#include <windows.h>

#include <stdlib.h>

#include "demo_platform.h"

struct demo_thread {
  HANDLE handle;
  demo_thread_fn fn;
  void *arg;
};

static DWORD WINAPI run(LPVOID self) {
  demo_thread *t = self;
  t->fn(t->arg);
  return 0;
}

void demo_startup(void) {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
}

void demo_cleanup(void) { WSACleanup(); }

demo_thread *demo_thread_start(demo_thread_fn fn, void *arg) {
  demo_thread *t = malloc(sizeof *t);
  t->fn = fn;
  t->arg = arg;
  t->handle = CreateThread(NULL, 0, run, t, 0, NULL);
  return t;
}

void demo_thread_join(demo_thread *t) {
  WaitForSingleObject(t->handle, INFINITE);
  CloseHandle(t->handle);
  free(t);
}

void demo_sleep_ms(int ms) { Sleep((DWORD)ms); }

/* Winsock's own functions are the callbacks, as they are. */
TraceErrorHooks demo_error_bridge(void) {
  TraceErrorHooks hooks = {WSAGetLastError, WSASetLastError};
  return hooks;
}
