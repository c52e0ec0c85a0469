// Built as a shared library with default visibility: on ELF the symbol is
// exported as it stands, and a DLL without explicit exports exports it too.
#include "empty_call.h"

extern "C" int NQ_CALL NqbEmptyConnect(int result, NQ_SOCKET,
                                       const struct sockaddr *, NQ_SOCKLEN) {
  return result;
}
