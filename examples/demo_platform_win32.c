#include <windows.h>

#include <stdlib.h>

#include "demo_platform.h"

struct DemoThread {
  HANDLE handle;
  DemoThreadFn fn;
  void *arg;
};

static DWORD WINAPI Run(LPVOID self) {
  DemoThread *t = self;
  t->fn(t->arg);
  return 0;
}

DemoThread *DemoThreadStart(DemoThreadFn fn, void *arg) {
  DemoThread *t = malloc(sizeof *t);
  t->fn = fn;
  t->arg = arg;
  t->handle = CreateThread(NULL, 0, Run, t, 0, NULL);
  return t;
}

void DemoThreadJoin(DemoThread *t) {
  WaitForSingleObject(t->handle, INFINITE);
  CloseHandle(t->handle);
  free(t);
}

void DemoSleepMs(int ms) { Sleep((DWORD)ms); }
