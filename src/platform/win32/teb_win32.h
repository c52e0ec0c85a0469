// The calling thread's own thread block, read in place through its segment
// register: its thread id and its first 64 TLS slots lie at fixed offsets
// there on every Windows, and reading them calls nothing and leaves the
// last error alone.
#ifndef NQ_PLATFORM_WIN32_TEB_WIN32_H
#define NQ_PLATFORM_WIN32_TEB_WIN32_H

// A header of the platform floor: a file below it must not include it.
#if NQ_FLOOR < 1
#error "src/platform/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stdint.h>

namespace nq {

constexpr uint32_t kTebTlsSlotCount = 64;  // indexes above: TlsGetValue

// The low half of the client id's thread handle.
inline uint32_t TebThreadId() {
  uint32_t id;
#if defined(__i386__)
  __asm__ volatile("movl %%fs:0x24, %0" : "=r"(id));
#else
  __asm__ volatile("movl %%gs:0x48, %0" : "=r"(id));
#endif
  return id;
}

// The value of TLS slot index, which must be below kTebTlsSlotCount.
inline void *TebTlsValue(uint32_t index) {
  void *value;
#if defined(__i386__)
  __asm__ volatile("movl %%fs:0xE10(,%1,4), %0" : "=r"(value) : "r"(index));
#else
  __asm__ volatile("movq %%gs:0x1480(,%1,8), %0"
                   : "=r"(value)
                   : "r"(static_cast<uintptr_t>(index)));
#endif
  return value;
}

}  // namespace nq

#endif
