/* A static program, which netquill-run -p refuses: it has no dynamic C
 * library to load the interposer. Waits to be killed. */
#include <unistd.h>

int main(void) {
  for (;;) pause();
}
