/*
 * Built with _FORTIFY_SOURCE, where a receive whose length the compiler
 * cannot check becomes a call of __recv_chk or __recvfrom_chk: those must
 * be traced as recv and recvfrom.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "probe.h"

int FortifiedRecv(int argc, char **argv) {
  char buf[16];
  struct sockaddr_in addr, from;
  socklen_t len = sizeof addr, from_len = sizeof from;
  size_t want = (size_t)argc + 14; /* not a constant: the checked form */
  ssize_t n, m;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  (void)argv;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, (struct sockaddr *)&addr, sizeof addr);
  getsockname(s, (struct sockaddr *)&addr, &len);
  sendto(s, "checked", 7, 0, (struct sockaddr *)&addr, sizeof addr);
  n = recv(s, buf, want, 0);
  sendto(s, "from", 4, 0, (struct sockaddr *)&addr, sizeof addr);
  m = recvfrom(s, buf, want, 0, (struct sockaddr *)&from, &from_len);
  close(s);
  printf("%zd %zd\n", n, m);
  return n == 7 && m == 4 ? 0 : 1;
}
