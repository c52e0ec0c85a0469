/*
 * Sends a regular file over loopback TCP with sendfile both ways, for the
 * trace's dumps of it: creates FILE (kFileSize bytes, byte i is
 * (i * 31 + i / 256) & 0xFF), connects to a listener of its own and sends
 * "head" (write), the file from offset 100 to its end with the file's own
 * offset (sendfile with a null offset pointer), bytes 5 to 1004 through an
 * offset of its own, and makes one select. A second thread receives it
 * all. Exit status 0 when the receiver got exactly that, the file's offset
 * moved only as the calls moved it and the program's offset moved by 1000;
 * else 1 and why on standard error.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kFileSize = 70000, kFrom = 100, kOwnFrom = 5, kOwnCount = 1000 };
enum { kTotal = 4 + kFileSize - kFrom + kOwnCount };

static unsigned char g_got[kTotal + 1];
static size_t g_received;

static unsigned char FileByte(size_t i) {
  return (unsigned char)((i * 31 + i / 256) & 0xFF);
}

static void *Receive(void *arg) {
  int s = *(int *)arg;
  ssize_t n;
  while (g_received <= kTotal &&
         (n = recv(s, g_got + g_received, sizeof g_got - g_received, 0)) > 0)
    g_received += (size_t)n;
  return NULL;
}

static int Fail(const char *what) {
  fprintf(stderr, "sendfile_probe: %s\n", what);
  return 1;
}

/* Sends count bytes with sendfile, from the file's offset (at null) or
 * from *at, as many calls as it takes. */
static int SendAll(int s, int f, off_t *at, size_t count) {
  while (count > 0) {
    ssize_t n = sendfile(s, f, at, count);
    if (n <= 0) return -1;
    count -= (size_t)n;
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 2) return Fail("usage: sendfile_probe FILE");
  static unsigned char data[kFileSize];
  for (size_t i = 0; i < kFileSize; ++i) data[i] = FileByte(i);
  int f = open(argv[1], O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (f < 0 || write(f, data, kFileSize) != kFileSize) return Fail("file");

  struct sockaddr_in addr;
  socklen_t len = sizeof addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int l = socket(AF_INET, SOCK_STREAM, 0);
  if (l < 0 || bind(l, (struct sockaddr *)&addr, sizeof addr) != 0 ||
      listen(l, 1) != 0 || getsockname(l, (struct sockaddr *)&addr, &len) != 0)
    return Fail("listener");
  int c = socket(AF_INET, SOCK_STREAM, 0);
  if (c < 0 || connect(c, (struct sockaddr *)&addr, sizeof addr) != 0)
    return Fail("connect");
  int a = accept(l, NULL, NULL);
  pthread_t receiver;
  if (a < 0 || pthread_create(&receiver, NULL, Receive, &a) != 0)
    return Fail("accept");

  off_t own = kOwnFrom;
  struct timeval none = {0, 0};
  if (write(c, "head", 4) != 4 || lseek(f, kFrom, SEEK_SET) != kFrom ||
      SendAll(c, f, NULL, kFileSize - kFrom) != 0 ||
      SendAll(c, f, &own, kOwnCount) != 0 ||
      select(0, NULL, NULL, NULL, &none) != 0 || shutdown(c, SHUT_WR) != 0)
    return Fail("send");
  pthread_join(receiver, NULL);
  if (lseek(f, 0, SEEK_CUR) != kFileSize) return Fail("file offset moved");
  if (own != kOwnFrom + kOwnCount) return Fail("own offset");
  if (g_received != kTotal || memcmp(g_got, "head", 4) != 0 ||
      memcmp(g_got + 4, data + kFrom, kFileSize - kFrom) != 0 ||
      memcmp(g_got + 4 + kFileSize - kFrom, data + kOwnFrom, kOwnCount) != 0)
    return Fail("received other bytes");
  close(a);
  close(c);
  close(l);
  close(f);
  return 0;
}
