/*
 * A Windows Sockets 2 program that knows nothing of tracing, built five
 * ways: with -lws2_32 only, importing by ordinal, with -lwsock32 only,
 * loading ws2_32.dll late (NQ_CLIENT_LATE), and through netquill_wrap.h
 * (NQ_CLIENT_WRAPPED), whose trace the others' must match. Its stdout,
 * results and both error codes, must read the same with and without
 * netquill-run. "spawn" starts the program again as "child" and waits.
 */
#include <winsock2.h>

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
#define CALL(name) late_##name
#define LATE(name) static decltype_##name late_##name;
typedef SOCKET(WSAAPI *decltype_socket)(int, int, int);
typedef int(WSAAPI *decltype_bind)(SOCKET, const struct sockaddr *, int);
typedef int(WSAAPI *decltype_listen)(SOCKET, int);
typedef int(WSAAPI *decltype_getsockname)(SOCKET, struct sockaddr *, int *);
typedef int(WSAAPI *decltype_connect)(SOCKET, const struct sockaddr *, int);
typedef SOCKET(WSAAPI *decltype_accept)(SOCKET, struct sockaddr *, int *);
typedef int(WSAAPI *decltype_send)(SOCKET, const char *, int, int);
typedef int(WSAAPI *decltype_recv)(SOCKET, char *, int, int);
typedef int(WSAAPI *decltype_ioctlsocket)(SOCKET, long, u_long *);
typedef int(WSAAPI *decltype_shutdown)(SOCKET, int);
typedef int(WSAAPI *decltype_closesocket)(SOCKET);
typedef struct hostent *(WSAAPI *decltype_gethostbyname)(const char *);
typedef int(WSAAPI *decltype_gethostname)(char *, int);
typedef int(WSAAPI *decltype_WSAStartup)(WORD, WSADATA *);
typedef int(WSAAPI *decltype_WSAGetLastError)(void);
#define LATE_CALLS(X) \
  X(socket)           \
  X(bind)             \
  X(listen)           \
  X(getsockname)      \
  X(connect)          \
  X(accept)           \
  X(send)             \
  X(recv)             \
  X(ioctlsocket)      \
  X(shutdown)         \
  X(closesocket)      \
  X(gethostbyname)    \
  X(gethostname)      \
  X(WSAStartup)       \
  X(WSAGetLastError)
LATE_CALLS(LATE)
static void StartTrace(void) {
  /* By name, and ioctlsocket by its ordinal. */
  HMODULE ws2 = LoadLibraryA("ws2_32.dll");
#define LOAD(name) \
  late_##name = (decltype_##name)(void (*)(void))GetProcAddress(ws2, #name);
  LATE_CALLS(LOAD)
  late_ioctlsocket = (decltype_ioctlsocket)(void (*)(void))GetProcAddress(
      ws2, MAKEINTRESOURCEA(10));
}
/* Nothing of ws2_32.dll is imported: it is loaded when the program says. */
#define WSAStartup late_WSAStartup
#define WSAGetLastError late_WSAGetLastError
#undef htons
#undef htonl
#define htons(v) ((u_short)((((v)&0xFF) << 8) | (((v) >> 8) & 0xFF)))
#define htonl(v) \
  ((u_long)(htons((v)&0xFFFF) << 16 | htons(((u_long)(v) >> 16) & 0xFFFF)))
#else
#define CALL(name) name
static void StartTrace(void) {}
#endif

static void Report(const char *what, long result) {
  /* Both codes: the program may read either. */
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

static SOCKET Refused(void) {
  struct sockaddr_in to;
  SOCKET s = CALL(socket)(AF_INET, SOCK_STREAM, 0);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(1);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Report("connect refused",
         CALL(connect)(s, (struct sockaddr *)&to, sizeof to));
  return s;
}

static int Spawn(const char *self) {
  char command[MAX_PATH + 16];
  STARTUPINFOA startup;
  PROCESS_INFORMATION info;
  DWORD code = 0;
  memset(&startup, 0, sizeof startup);
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
  struct hostent *host;
  HANDLE thread;
  static const char kHello[] = "hello, ws2_32";

  StartTrace();
  Report("WSAStartup", WSAStartup(MAKEWORD(2, 2), &data));
  if (argc > 1 && strcmp(argv[1], "child") == 0) {
    Report("child closesocket", CALL(closesocket)(Refused()));
    fflush(stdout);
    return 5;
  }
  if (argc > 1 && strcmp(argv[1], "spawn") == 0) {
    printf("child exited %d\n", Spawn(argv[0]));
    Report("parent closesocket", CALL(closesocket)(Refused()));
    return 6;
  }

  listener = CALL(socket)(AF_INET, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
  /* A successful call leaves the program's own last error alone. */
  SetLastError(1234);
  Report("ioctlsocket", CALL(ioctlsocket)(client, FIONBIO, &on));
  Report("recv would block", CALL(recv)(client, buf, sizeof buf, 0));
  Report("shutdown", CALL(shutdown)(client, SD_SEND));
  Report("recv end", CALL(recv)(server, buf, sizeof buf, 0));
  Report("closesocket", CALL(closesocket)(server));
  Report("closesocket", CALL(closesocket)(client));
  Report("closesocket", CALL(closesocket)(listener));
  Report("closesocket again", CALL(closesocket)(listener));
  Report("closesocket refused", CALL(closesocket)(Refused()));
  host = CALL(gethostbyname)("localhost");
  Report("gethostbyname", host != NULL ? 0 : -1);
  thread = CreateThread(NULL, 0, OtherThread, NULL, 0, NULL);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  printf("done\n");
  return 7;
}
