/*
 * Out-addresses of two bytes at the very end of a readable page, as a
 * program may legally offer them: getsockname, getpeername, accept and
 * recvfrom each write two bytes and report the full length. Prints what
 * each call returned and the lengths it reported.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void) {
  long page = sysconf(_SC_PAGESIZE);
  char *area = mmap(NULL, 2 * page, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  struct sockaddr *edge;
  struct sockaddr_in any;
  socklen_t len, anylen = sizeof any;
  int server, client, conn, udp, r;
  char byte = 'x';
  if (area == MAP_FAILED || mprotect(area + page, page, PROT_NONE) != 0)
    return 2;
  edge = (struct sockaddr *)(area + page - 2);
  memset(&any, 0, sizeof any);
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server = socket(AF_INET, SOCK_STREAM, 0);
  if (bind(server, (struct sockaddr *)&any, sizeof any) != 0 ||
      listen(server, 1) != 0 ||
      getsockname(server, (struct sockaddr *)&any, &anylen) != 0)
    return 2;
  client = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(client, (struct sockaddr *)&any, sizeof any) != 0) return 2;
  len = 2;
  r = getsockname(client, edge, &len);
  printf("getsockname %d len %u\n", r, len);
  len = 2;
  r = getpeername(client, edge, &len);
  printf("getpeername %d len %u\n", r, len);
  len = 2;
  conn = accept(server, edge, &len);
  printf("accept %d len %u\n", conn >= 0, len);
  udp = socket(AF_INET, SOCK_DGRAM, 0);
  any.sin_port = 0;
  anylen = sizeof any;
  if (bind(udp, (struct sockaddr *)&any, sizeof any) != 0 ||
      getsockname(udp, (struct sockaddr *)&any, &anylen) != 0 ||
      sendto(udp, &byte, 1, 0, (struct sockaddr *)&any, sizeof any) != 1)
    return 2;
  len = 2;
  r = (int)recvfrom(udp, &byte, 1, 0, edge, &len);
  printf("recvfrom %d len %u\n", r, len);
  return 0;
}
