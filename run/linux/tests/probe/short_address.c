/*
 * Out-addresses of two bytes at the end of a readable page: getsockname,
 * getpeername, accept and recvfrom each write two bytes and report the
 * full length. Prints each call's result and the length it reported.
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "probe.h"

int ShortAddress(int argc, char **argv) {
  long page = sysconf(_SC_PAGESIZE);
  char *area = mmap(NULL, 2 * page, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  struct sockaddr *edge = (struct sockaddr *)(area + page - 2);
  struct sockaddr_in any = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {0}};
  socklen_t len = sizeof any, l[4] = {2, 2, 2, 2};
  int server = socket(AF_INET, SOCK_STREAM, 0), udp = socket(AF_INET, 2, 0);
  int client = socket(AF_INET, SOCK_STREAM, 0), r[4];
  char byte = 'x';
  (void)argc;
  (void)argv;
  mprotect(area + page, page, PROT_NONE);
  bind(server, (struct sockaddr *)&any, len);
  listen(server, 1);
  getsockname(server, (struct sockaddr *)&any, &len);
  connect(client, (struct sockaddr *)&any, len);
  r[0] = getsockname(client, edge, &l[0]);
  r[1] = getpeername(client, edge, &l[1]);
  r[2] = accept(server, edge, &l[2]) >= 0;
  any.sin_port = 0;
  bind(udp, (struct sockaddr *)&any, len);
  getsockname(udp, (struct sockaddr *)&any, &len);
  sendto(udp, &byte, 1, 0, (struct sockaddr *)&any, len);
  r[3] = (int)recvfrom(udp, &byte, 1, 0, edge, &l[3]);
  printf("%d %d %d %d, lengths %u %u %u %u\n", r[0], r[1], r[2], r[3], l[0],
         l[1], l[2], l[3]);
  return 0;
}
