/* Both public headers compile as C99 and work from C: this file makes a
 * refused connect through the wrapper and reports the result and the error
 * code the caller sees afterwards. Strict C on POSIX asks for the POSIX
 * names, as any socket program does. */
#define _POSIX_C_SOURCE 200809L
#include <string.h>

#include "netquill.h"
#include "netquill_wrap.h"

int RefusedConnectFromC(int port, int *result) {
  struct sockaddr_in addr;
  NQ_SOCKET s = nq_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)port);
  addr.sin_addr.s_addr = htonl(0x7F000001);
  *result = nq_connect(s, (struct sockaddr *)&addr, sizeof addr);
  return s == (NQ_SOCKET)-1 ? -1 : 0;
}
