// Texts of the launcher's Windows Sockets 2 lines: addresses by family
// (address_text_win32.h), the names of flags, event masks and control codes,
// wide strings.
#ifndef NQ_ENTRIES_WINSOCK2_TEXT_H
#define NQ_ENTRIES_WINSOCK2_TEXT_H

// A header of the entries floor, above the library's: a file below it
// must not include it.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "address_text_win32.h"

namespace nq {

struct FlagName {
  uint32_t bit;
  const char *name;
};

// The names of the bits of value joined by '|', from the n names (each a
// bit or a group of bits, matched in order); bits without a name in hex;
// "0" for none.
const char *FlagsText(char *buf, size_t size, uint32_t value,
                      const FlagName *names, size_t n);

// WSAEventSelect's event bits (FD_READ...) and their count.
extern const FlagName kNetworkEvents[];
extern const size_t kNetworkEventCount;
// WSAPoll's event bits (POLLRDNORM...).
extern const FlagName kPollEvents[];
extern const size_t kPollEventCount;

// The name of an ioctlsocket or WSAIoctl control code, or null.
const char *ControlCodeName(uint32_t code);

// The extension function a GUID of 16 bytes names, or null.
const char *ExtensionName(const void *guid);

// A wide string in double quotes, as UTF-8 escaped like caller text, at p
// (room bytes); "NULL" for none. Returns the end.
char *PutQuotedWide(char *p, size_t room, const wchar_t *text);
// The same for a narrow string.
char *PutQuotedNarrow(char *p, size_t room, const char *text);

}  // namespace nq

#endif
