/*
 * A Windows Sockets 2 program that knows nothing of tracing, built five
 * ways: with -lws2_32 only, importing by ordinal, with -lwsock32 only,
 * loading ws2_32.dll late (NQ_CLIENT_LATE), and through netquill_wrap.h
 * (NQ_CLIENT_WRAPPED), whose trace the others' must match. Its stdout,
 * results and both error codes, must read the same with and without
 * netquill-run. "spawn" starts the program again as "child" and waits.
 */
#include <winsock2.h>

#include <process.h>
#include <stdio.h>
#include <string.h>

#if defined(NQ_CLIENT_WRAPPED)
#include <stdlib.h>

#include "netquill_wrap.h"
/* Each thread traced from its first socket call on, as netquill-run does. */
#define CALL(name) (StartThread(), nq_##name)
static __thread int started;
static void StartThread(void) {
  const char *flags = getenv("NETQUILL_FLAGS");
  if (!started)
    WSAEnableTrace(getenv("NETQUILL_FILE"), flags ? strtoul(flags, 0, 0) : 0);
  started = 1;
}
static void StartTrace(void) {
  static TraceErrorHooks bridge = {WSAGetLastError, WSASetLastError};
  WSASetupTrace(&bridge);
}
#elif defined(NQ_CLIENT_LATE)
/* Nothing imported: looked up at each call, ioctlsocket by ordinal. */
static HMODULE ws2;
static void (*Late(const char *name))(void) {
  if (strcmp(name, "ioctlsocket") == 0) name = MAKEINTRESOURCEA(10);
  return (void (*)(void))GetProcAddress(ws2, name);
}
#define CALL(name) ((__typeof__(&name))Late(#name))
static void StartTrace(void) { ws2 = LoadLibraryA("ws2_32.dll"); }
#define WSAStartup CALL(WSAStartup)
#define WSAGetLastError CALL(WSAGetLastError)
#else
#define CALL(name) name
static void StartTrace(void) {}
#endif
/* In network order, without htonl, which the late build has not got. */
#define kLoopback 0x0100007FUL

static void Report(const char *what, long result) { /* both codes */
  printf("%s: %ld %d %lu\n", what, result, WSAGetLastError(), GetLastError());
}

static DWORD WINAPI OtherThread(LPVOID unused) {
  char name[256];
  (void)unused;
  Report("thread gethostname", CALL(gethostname)(name, sizeof name));
  Report("thread bad socket",
         CALL(socket)(AF_INET, 12345, 0) == INVALID_SOCKET ? -1 : 0);
  return 0;
}

/* "writers": four threads, each 500 datagrams to a port of its own on
 * loopback, while every call goes to two writers of one file in the build
 * traced through NETQUILL.DLL under netquill-run. */
enum { kWriters = 4, kDatagrams = 500 };
static DWORD WINAPI Writer(LPVOID unused) {
  struct sockaddr_in to;
  int len = sizeof to, i;
  SOCKET s = CALL(socket)(AF_INET, SOCK_DGRAM, 0);
  (void)unused;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = kLoopback;
  CALL(bind)(s, (struct sockaddr *)&to, sizeof to);
  CALL(getsockname)(s, (struct sockaddr *)&to, &len);
  for (i = 0; i < kDatagrams; ++i) CALL(sendto)
  (s, "0123456789abcdef", 16, 0, (struct sockaddr *)&to, sizeof to);
  return (DWORD)CALL(closesocket)(s);
}

static int Writers(void) {
  HANDLE threads[kWriters];
  int i;
  for (i = 0; i < kWriters; ++i)
    threads[i] = CreateThread(NULL, 0, Writer, NULL, 0, NULL);
  WaitForMultipleObjects(kWriters, threads, TRUE, INFINITE);
  printf("writers done\n");
  return 8;
}

static SOCKET Refused(void) {
  struct sockaddr_in to;
  SOCKET s = CALL(socket)(AF_INET, SOCK_STREAM, 0);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = 0x0100; /* 1 */
  to.sin_addr.s_addr = kLoopback;
  Report("connect refused",
         CALL(connect)(s, (struct sockaddr *)&to, sizeof to));
  return s;
}

static int Spawn(const char *self) {
  char command[MAX_PATH + 16];
  STARTUPINFOA startup = {0};
  PROCESS_INFORMATION info;
  DWORD code = 0;
  startup.cb = sizeof startup;
  snprintf(command, sizeof command, "\"%s\" child", self);
  fflush(stdout);
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                      &info))
    return -1;
  WaitForSingleObject(info.hProcess, INFINITE);
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return (int)code;
}

int main(int argc, char **argv) {
  WSADATA data;
  struct sockaddr_in addr;
  int len = sizeof addr;
  char buf[64];
  SOCKET listener, client, server;
  u_long on = 1;
  HANDLE thread;
  static const char kHello[] = "hello, ws2_32";
  static const DWORD kWait = 200;

  /* What the loader left differs between the builds (32-bit Wine leaves
   * 126 in the one that imports ws2_32.dll); every build starts from 0. */
  SetLastError(0);
  StartTrace();
  Report("WSAStartup", WSAStartup(MAKEWORD(2, 2), &data));
  if (argc > 1 && strcmp(argv[1], "child") == 0) {
    Report("child closesocket", CALL(closesocket)(Refused()));
    fflush(stdout);
    return 5;
  }
  if (argc > 1 && strcmp(argv[1], "writers") == 0) return Writers();
  if (argc > 1 && strcmp(argv[1], "spawn") == 0) {
    printf("child exited %d\n", Spawn(argv[0]));
    /* Through the C run time, a system DLL that calls CreateProcessA. */
    printf("spawnl %d\n",
           (int)_spawnl(_P_WAIT, argv[0], argv[0], "child", NULL));
    Report("parent closesocket", CALL(closesocket)(Refused()));
    return 6;
  }

  listener = CALL(socket)(AF_INET, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = kLoopback;
  Report("bind", CALL(bind)(listener, (struct sockaddr *)&addr, sizeof addr));
  Report("listen", CALL(listen)(listener, 5));
  Report("getsockname",
         CALL(getsockname)(listener, (struct sockaddr *)&addr, &len));
  client = CALL(socket)(AF_INET, SOCK_STREAM, 0);
  Report("connect",
         CALL(connect)(client, (struct sockaddr *)&addr, sizeof addr));
  server = CALL(accept)(listener, NULL, NULL);
  Report("accept", server == INVALID_SOCKET ? -1 : 0);
  Report("send", CALL(send)(client, kHello, sizeof kHello - 1, 0));
  Report("recv", CALL(recv)(server, buf, sizeof buf, 0));
  SetLastError(1234); /* what the call leaves, with or without the tracer */
  Report("ioctlsocket", CALL(ioctlsocket)(client, FIONBIO, &on));
  Report("recv would block", CALL(recv)(client, buf, sizeof buf, 0));
  /* A receive that waits 200 ms for nothing: its time, through -T. */
  Report("setsockopt", CALL(setsockopt)(server, SOL_SOCKET, SO_RCVTIMEO,
                                        (char *)&kWait, sizeof kWait));
  Report("recv waits", CALL(recv)(server, buf, sizeof buf, 0));
  Report("shutdown", CALL(shutdown)(client, SD_SEND));
  Report("recv end", CALL(recv)(server, buf, sizeof buf, 0));
  Report("closesocket", CALL(closesocket)(server));
  Report("closesocket", CALL(closesocket)(client));
  Report("closesocket", CALL(closesocket)(listener));
  Report("closesocket again", CALL(closesocket)(listener));
  Report("closesocket refused", CALL(closesocket)(Refused()));
  Report("gethostbyname", CALL(gethostbyname)("localhost") ? 0 : -1);
  thread = CreateThread(NULL, 0, OtherThread, NULL, 0, NULL);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  printf("done\n");
  return 7;
}
