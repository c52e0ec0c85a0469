/* How a program's start looks from inside, which tracing must not change:
 * its DLLs initialised on its main thread, and a child it debugs showing
 * its debugger the events it would show untraced. Prints what it saw;
 * exits 0 when the DLL's initialisation ran on the main thread. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "probe.h"

__declspec(dllimport) DWORD AttachThread(void);

static int DebugChild(const char *self) {
  char command[MAX_PATH + 16];
  STARTUPINFOA startup = {0};
  PROCESS_INFORMATION info;
  DEBUG_EVENT event;
  int threads = 0, dlls = 0, code = -1;
  startup.cb = sizeof startup;
  snprintf(command, sizeof command, "\"%s\" start child", self);
  if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS,
                      NULL, NULL, &startup, &info))
    return -1;
  for (;;) {
    if (!WaitForDebugEvent(&event, 30000)) break;
    if (event.dwDebugEventCode == CREATE_THREAD_DEBUG_EVENT) ++threads;
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
      ++dlls;
      if (event.u.LoadDll.hFile != NULL) CloseHandle(event.u.LoadDll.hFile);
    }
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT &&
        event.u.CreateProcessInfo.hFile != NULL)
      CloseHandle(event.u.CreateProcessInfo.hFile);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
      code = (int)event.u.ExitProcess.dwExitCode;
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  printf("debugged child: exit %d, %d threads, %d DLLs\n", code, threads, dlls);
  return code;
}

int ProgramStart(int argc, char **argv) {
  int main_thread = AttachThread() == GetCurrentThreadId();
  char self[MAX_PATH];
  if (argc > 1 && strcmp(argv[1], "child") == 0) return 3;
  printf("DLL initialised on the main thread: %s\n",
         main_thread ? "yes" : "no");
  if (argc > 1 && strcmp(argv[1], "debug") == 0 &&
      GetModuleFileNameA(NULL, self, sizeof self) < sizeof self)
    DebugChild(self);
  return main_thread ? 0 : 1;
}
