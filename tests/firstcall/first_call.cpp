// The caller's error code (GetLastError on Windows, errno elsewhere) is
// exactly as it was after the first call of every export: in a fresh
// process, before and after the error callbacks are installed, on fresh
// threads, and on the first traced call of a thread. Each mode runs in a
// process of its own, against the shipped library.
//   first_call MODE SCRATCH_DIR
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "netquill.h"
#include "netquill_calls.h"
#include "support/syserr.h"

namespace {

using nqtest::CallerCode;
using nqtest::SetCallerCode;
using nqtest::SetSystemError;
using nqtest::SystemErrorIs;

int g_failures = 0;

void Expect(bool ok, const std::string &what) {
  if (ok) return;
  ++g_failures;
  fprintf(stderr, "FAIL: %s\n", what.c_str());
}

int NQ_CALL GetCode() { return CallerCode(); }
void NQ_CALL SetCode(int code) { SetCallerCode(code); }

const NQ_SOCKET kNoSocket = static_cast<NQ_SOCKET>(~static_cast<uintptr_t>(0));

struct Export {
  const char *name;
  std::function<void()> call;
};

// One call of each of the 47 exports, with arguments it reads safely.
std::vector<Export> AllExports(const std::string &file) {
  static char buf[64];
  static NQ_DLLVERSIONINFO info = {20, 0, 0, 0, 0};
  static TraceErrorHooks hooks = {GetCode, SetCode};
  return {
      {"DllGetVersion", [] { DllGetVersion(&info); }},
      {"WSASetupTrace", [] { WSASetupTrace(&hooks); }},
      {"WSAEnableTrace",
       [file] {
         WSAEnableTrace(file.c_str(), 0);
         WSADisableTrace();
       }},
      {"WSADisableTrace", [] { WSADisableTrace(); }},
      {"WSAGetTraceUsage", [] { WSAGetTraceUsage(); }},
      {"WSASetTraceFile", [file] { WSASetTraceFile(file.c_str()); }},
      {"WSAGetTraceFile", [] { WSAGetTraceFile(buf, sizeof buf); }},
      {"WSASetTraceFlags", [] { WSASetTraceFlags(0); }},
      {"WSAGetTraceFlags", [] { WSAGetTraceFlags(); }},
      {"WSASetTraceDumpLimit", [] { WSASetTraceDumpLimit(0); }},
      {"NetQuillWrite", [] { NetQuillWrite(0, "note", 0); }},
      {"TX_accept", [] { TX_accept(kNoSocket, 3, nullptr, nullptr); }},
      {"TX_bind", [] { TX_bind(-1, 3, nullptr, 16); }},
      {"TX_closesocket", [] { TX_closesocket(-1, 3); }},
      {"TX_connect", [] { TX_connect(-1, 3, nullptr, 16); }},
      {"TX_getpeername", [] { TX_getpeername(-1, 3, nullptr, nullptr); }},
      {"TX_getsockname", [] { TX_getsockname(-1, 3, nullptr, nullptr); }},
      {"TX_getsockopt", [] { TX_getsockopt(-1, 3, 1, 2, nullptr, nullptr); }},
      {"TX_ioctlsocket", [] { TX_ioctlsocket(-1, 3, 1, nullptr); }},
      {"TX_listen", [] { TX_listen(-1, 3, 5); }},
      {"TX_recv", [] { TX_recv(-1, 3, buf, 8, 0); }},
      {"TX_recvfrom", [] { TX_recvfrom(-1, 3, buf, 8, 0, nullptr, nullptr); }},
      {"TX_select",
       [] { TX_select(-1, 1, nullptr, nullptr, nullptr, nullptr); }},
      {"TX_send", [] { TX_send(-1, 3, buf, 8, 0); }},
      {"TX_sendto", [] { TX_sendto(-1, 3, buf, 8, 0, nullptr, 16); }},
      {"TX_setsockopt", [] { TX_setsockopt(-1, 3, 1, 2, nullptr, 4); }},
      {"TX_shutdown", [] { TX_shutdown(-1, 3, 2); }},
      {"TX_socket", [] { TX_socket(kNoSocket, 2, 1, 6); }},
      {"TX_gethostbyaddr", [] { TX_gethostbyaddr(nullptr, nullptr, 4, 2); }},
      {"TX_gethostbyname", [] { TX_gethostbyname(nullptr, "gw"); }},
      {"TX_getprotobyname", [] { TX_getprotobyname(nullptr, "udp"); }},
      {"TX_getprotobynumber", [] { TX_getprotobynumber(nullptr, 17); }},
      {"TX_getservbyname", [] { TX_getservbyname(nullptr, "http", "tcp"); }},
      {"TX_getservbyport", [] { TX_getservbyport(nullptr, 80, "tcp"); }},
      {"TX_gethostname", [] { TX_gethostname(-1, buf, 16); }},
      {"TX_WSAAsyncSelect",
       [] { TX_WSAAsyncSelect(-1, 3, nullptr, 0x401, 0x21); }},
      {"TX_WSAAsyncGetHostByAddr",
       [] {
         TX_WSAAsyncGetHostByAddr(nullptr, nullptr, 1, nullptr, 4, 2, buf, 64);
       }},
      {"TX_WSAAsyncGetHostByName",
       [] { TX_WSAAsyncGetHostByName(nullptr, nullptr, 1, "gw", buf, 64); }},
      {"TX_WSAAsyncGetProtoByNumber",
       [] { TX_WSAAsyncGetProtoByNumber(nullptr, nullptr, 1, 6, buf, 64); }},
      {"TX_WSAAsyncGetProtoByName",
       [] { TX_WSAAsyncGetProtoByName(nullptr, nullptr, 1, "tcp", buf, 64); }},
      {"TX_WSAAsyncGetServByPort",
       [] {
         TX_WSAAsyncGetServByPort(nullptr, nullptr, 1, 80, "tcp", buf, 64);
       }},
      {"TX_WSAAsyncGetServByName",
       [] {
         TX_WSAAsyncGetServByName(nullptr, nullptr, 1, "ftp", "tcp", buf, 64);
       }},
      {"TX_WSACancelAsyncRequest",
       [] { TX_WSACancelAsyncRequest(-1, nullptr); }},
      {"TX_WSASetBlockingHook",
       [] { TX_WSASetBlockingHook(nullptr, nullptr); }},
      {"TX_WSAUnhookBlockingHook", [] { TX_WSAUnhookBlockingHook(-1); }},
      {"TX_WSACancelBlockingCall", [] { TX_WSACancelBlockingCall(-1); }},
      {"TX_WSAIsBlocking", [] { TX_WSAIsBlocking(0); }},
  };
}

// The first call of the process: a server's accept that would block.
void AcceptFirst(bool setup) {
  TraceErrorHooks hooks = {GetCode, SetCode};
  if (setup) Expect(WSASetupTrace(&hooks) == 1, "setup");
  SetSystemError(10035);
  NQ_SOCKET s = TX_accept(kNoSocket, 3, nullptr, nullptr);
  Expect(SystemErrorIs(10035), "accept: error code changed");
  Expect(s == kNoSocket, "accept: result changed");
}

// Every export's first call on a thread of its own: untraced threads while
// the main thread traces, so every hook passes its guard, and threads whose
// first call enables their trace before the export.
void EveryExportOnFreshThreads(const std::string &dir) {
  TraceErrorHooks hooks = {GetCode, SetCode};
  Expect(WSASetupTrace(&hooks) == 1, "setup");
  Expect(WSAEnableTrace((dir + "/main.log").c_str(), 0) == 1, "enable");
#define NQ_HOOK_NAME(name, ...) "TX_" #name,
#define NQ_EXPORT_NAME(name, ...) #name,
  std::vector<std::string> listed = {NQ_TRACED_CALLS(NQ_HOOK_NAME)
                                         NQ_LIBRARY_EXPORTS(NQ_EXPORT_NAME)};
  std::vector<std::string> cases;
  for (const Export &e : AllExports("")) cases.push_back(e.name);
  std::sort(listed.begin(), listed.end());
  std::sort(cases.begin(), cases.end());
  Expect(cases == listed, "a case for every export of netquill_calls.h");
  for (bool traced : {false, true}) {
    for (const Export &e : AllExports(dir + "/thread.log")) {
      std::thread([&] {
        if (traced) {
          SetSystemError(10054);
          Expect(WSAEnableTrace((dir + "/thread.log").c_str(), 0) == 1,
                 "thread enable");
          Expect(SystemErrorIs(10054), std::string("enable before ") + e.name);
        }
        SetSystemError(10035);
        e.call();
        Expect(SystemErrorIs(10035), std::string(traced ? "traced " : "") +
                                         e.name + ": error code changed");
        if (traced) WSADisableTrace();
      }).join();
    }
  }
  WSADisableTrace();
}

std::string ReadAll(const std::string &path) {
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  return text;
}

// A thread's first traced call fetches the code the socket call left, prints
// it and hands it back.
void FirstTracedCall(const std::string &dir) {
  TraceErrorHooks hooks = {GetCode, SetCode};
  Expect(WSASetupTrace(&hooks) == 1, "setup");
  std::string file = dir + "/traced.log";
  std::thread([&] {
    Expect(WSAEnableTrace(file.c_str(), 0) == 1, "enable");
    SetSystemError(10061);
    TX_connect(-1, 3, nullptr, 16);
    Expect(SystemErrorIs(10061), "connect: error code changed");
    WSADisableTrace();
  }).join();
  std::string text = ReadAll(file);
  Expect(text.find(" ERR: connect(3, NULL, 16) returned -1 [10061]\r\n") !=
             std::string::npos,
         "trace line with [10061] in:\n" + text);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: first_call MODE SCRATCH_DIR\n");
    return 2;
  }
  std::string mode = argv[1];
  std::string dir = argv[2];
  if (mode == "accept-before-setup") {
    AcceptFirst(false);
  } else if (mode == "accept-after-setup") {
    AcceptFirst(true);
  } else if (mode == "every-export-fresh-thread") {
    EveryExportOnFreshThreads(dir);
  } else if (mode == "first-traced-call") {
    FirstTracedCall(dir);
  } else {
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
  }
  printf("%s: %s\n", mode.c_str(), g_failures ? "FAILED" : "OK");
  return g_failures ? 1 : 0;
}
