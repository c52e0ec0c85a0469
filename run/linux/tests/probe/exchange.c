/*
 * A client and a server in one program, run from nq_probe_static so that
 * nothing can be preloaded into either: a forked child connects to its parent
 * over TCP on loopback and trades a request for a reply (send and recv against
 * read and write), then a datagram each way (sendto and recvfrom). Prints
 * what each side received, the same on every run.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "probe.h"

static int Bound(int type, struct sockaddr_in *addr) {
  socklen_t len = sizeof *addr;
  int s = socket(AF_INET, type, 0);
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, (struct sockaddr *)addr, sizeof *addr) != 0 ||
      getsockname(s, (struct sockaddr *)addr, &len) != 0)
    return -1;
  return s;
}

static int Child(const struct sockaddr_in *tcp, const struct sockaddr_in *udp) {
  char buf[64];
  struct sockaddr_in from;
  socklen_t len = sizeof from;
  int s = socket(AF_INET, SOCK_STREAM, 0), d = socket(AF_INET, SOCK_DGRAM, 0);
  ssize_t n;
  if (connect(s, (const struct sockaddr *)tcp, sizeof *tcp) != 0 ||
      send(s, "request", 7, 0) != 7 || (n = recv(s, buf, sizeof buf, 0)) < 0)
    return 1;
  printf("child: %.*s\n", (int)n, buf);
  if (sendto(d, "ping", 4, 0, (const struct sockaddr *)udp, sizeof *udp) != 4 ||
      (n = recvfrom(d, buf, sizeof buf, 0, (struct sockaddr *)&from, &len)) < 0)
    return 1;
  printf("child: %.*s\n", (int)n, buf);
  return close(s) != 0 || close(d) != 0;
}

int Exchange(int argc, char **argv) {
  char buf[64];
  struct sockaddr_in tcp, udp, from;
  socklen_t len = sizeof from;
  int listener = Bound(SOCK_STREAM, &tcp), d = Bound(SOCK_DGRAM, &udp);
  int conn, status;
  ssize_t n, m;
  pid_t child;
  (void)argc;
  (void)argv;
  if (listener < 0 || d < 0 || listen(listener, 1) != 0) return 1;
  fflush(stdout);
  child = fork();
  if (child == 0) return Child(&tcp, &udp);
  if (child < 0 || (conn = accept(listener, NULL, NULL)) < 0 ||
      (n = read(conn, buf, sizeof buf)) < 0 || write(conn, "reply", 5) != 5)
    return 1;
  m = recvfrom(d, buf + n, sizeof buf - n, 0, (struct sockaddr *)&from, &len);
  if (m < 0 || sendto(d, "pong", 4, 0, (struct sockaddr *)&from, len) != 4 ||
      waitpid(child, &status, 0) != child)
    return 1;
  printf("parent: %.*s, %.*s\n", (int)n, buf, (int)m, buf + n);
  return status != 0 || close(conn) != 0 || close(listener) != 0 ||
         close(d) != 0;
}
