/*
 * echo_demo - a loopback echo client and server that trace their own
 * socket calls into one file, then print it.
 *
 *   netquill-demo [TRACE-FILE]     (default: netquill-demo.log)
 *
 * Each side runs on its own thread and switches tracing on for itself with
 * WSAEnableTrace, dumps included; every socket call goes through the
 * wrapper header, which makes the call and hands it to its hook.
 */
#define _POSIX_C_SOURCE 200809L
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#include "net_shim.h"
#include "netquill.h"
#include "netquill_wrap.h"

static const char *trace_path = "netquill-demo.log";
static atomic_int g_server_port; /* 0 until the server listens */

static void Server(void *unused) {
  struct sockaddr_in addr = NqNetLoopback(0);
  NQ_SOCKLEN len = sizeof addr;
  char buf[256];
  NQ_SOCKET ls, s;
  NQ_IORESULT n;
  (void)unused;

  WSAEnableTrace(trace_path, TRACE_FLAG_DUMP);
  NetQuillWrite(TRACE_KIND_PLAIN, "server: starting", 0);
  ls = nq_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  nq_bind(ls, (struct sockaddr *)&addr, sizeof addr);
  nq_listen(ls, 1);
  nq_getsockname(ls, (struct sockaddr *)&addr, &len);
  atomic_store(&g_server_port, ntohs(addr.sin_port));

  s = nq_accept(ls, NULL, NULL);
  while ((n = nq_recv(s, buf, sizeof buf, 0)) > 0) nq_send(s, buf, n, 0);
  nq_closesocket(s);
  nq_closesocket(ls);
  WSADisableTrace();
}

static void Client(void *unused) {
  static const char *const messages[] = {"hello, echo", "NETQUILL\r\n", "bye"};
  struct sockaddr_in addr;
  char buf[256];
  NQ_SOCKET s;
  size_t i;
  (void)unused;

  WSAEnableTrace(trace_path, TRACE_FLAG_DUMP);
  while (atomic_load(&g_server_port) == 0) NqSleepMs(1);
  addr = NqNetLoopback(atomic_load(&g_server_port));

  nq_gethostbyname("localhost");
  s = nq_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  nq_connect(s, (struct sockaddr *)&addr, sizeof addr);
  for (i = 0; i < sizeof messages / sizeof messages[0]; ++i) {
    size_t len = strlen(messages[i]);
    size_t got = 0;
    nq_send(s, messages[i], len, 0);
    while (got < len) {
      NQ_IORESULT n = nq_recv(s, buf + got, sizeof buf - got, 0);
      if (n <= 0) break;
      got += (size_t)n;
    }
  }
  nq_shutdown(s, 1);
  nq_closesocket(s);

  /* A port nobody listens on: the failure is traced with its error code. */
  s = nq_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  addr = NqNetLoopback(1);
  nq_connect(s, (struct sockaddr *)&addr, sizeof addr);
  nq_closesocket(s);
  WSADisableTrace();
}

int main(int argc, char **argv) {
  TraceErrorHooks bridge = NqNetErrorBridge();
  NqThread *srv, *cli;
  FILE *trace;
  char line[512];

  if (argc > 1) trace_path = argv[1];
  remove(trace_path);
  NqNetStartup();
  WSASetupTrace(&bridge);

  srv = NqThreadStart(Server, NULL);
  cli = NqThreadStart(Client, NULL);
  NqThreadJoin(cli);
  NqThreadJoin(srv);
  NqNetCleanup();

  trace = fopen(trace_path, "rb");
  if (trace == NULL) {
    fprintf(stderr, "netquill-demo: no trace written to %s\n", trace_path);
    return 1;
  }
  printf("--- %s ---\n", trace_path);
  while (fgets(line, sizeof line, trace) != NULL) {
    size_t n = strlen(line);
    if (n >= 2 && line[n - 2] == '\r') line[n - 2] = '\n', line[n - 1] = 0;
    fputs(line, stdout);
  }
  fclose(trace);
  return 0;
}
