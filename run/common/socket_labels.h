// What netquill-run -y shows after a socket's number in a call line, made
// alike by both launchers from what their systems say of the socket; in
// this header alone, for the entries of either launcher to build in.
#ifndef NQ_RUN_SOCKET_LABELS_H
#define NQ_RUN_SOCKET_LABELS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <atomic>

namespace nqdrop {

// Room for one address as a label shows it, "[v6 address]:port" or a
// UNIX socket's path (cut), so that two of them and the rest fit the
// library's label limit (160).
constexpr size_t kLabelAddressSize = 73;

enum class LabelFamily { kIPv4, kIPv6, kUnix };

// "<TCP:[local->peer]>", "<UDPv6:[local]>", or "<TCP>" when neither address
// is known (empty texts), into out (size bytes); its length.
size_t PutSocketLabel(char *out, size_t size, LabelFamily family, bool stream,
                      const char *local, const char *peer);

// The label each descriptor had when a line last showed it, so that the
// line of the call that closed it can still show what it was. A slot
// another thread holds is passed by: a line goes without its label rather
// than wait.
class LastLabels {
 public:
  static constexpr int kSlots = 1024;
  static constexpr size_t kLabelSize = 160;

  void Remember(int process, intptr_t socket, const char *label);
  // The label last remembered for socket of process, once: it is forgotten
  // as it is handed out. 0 when there is none.
  size_t Recall(int process, intptr_t socket, char *out);

 private:
  struct Slot {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    int process;
    intptr_t socket;
    char label[kLabelSize];
  };
  Slot &SlotOf(intptr_t socket);
  Slot slots_[kSlots];
};

inline size_t PutSocketLabel(char *out, size_t size, LabelFamily family,
                             bool stream, const char *local, const char *peer) {
  const char *protocol = family == LabelFamily::kUnix ? "UNIX"
                         : family == LabelFamily::kIPv6
                             ? (stream ? "TCPv6" : "UDPv6")
                             : (stream ? "TCP" : "UDP");
  const char *parts[] = {"<", protocol, ":[", local, "->", peer, "]>"};
  bool has_local = local[0] != '\0', has_peer = peer[0] != '\0';
  bool shown[] = {true,     true,     has_local || has_peer, has_local,
                  has_peer, has_peer, has_local || has_peer};
  size_t n = 0;
  for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
    size_t len = strlen(parts[i]);
    if (!shown[i]) continue;
    if (n + len + 2 > size) return 0;  // never a label without its end
    memcpy(out + n, parts[i], len);
    n += len;
  }
  if (!has_local && !has_peer) out[n++] = '>';
  out[n] = '\0';
  return n;
}

inline LastLabels::Slot &LastLabels::SlotOf(intptr_t socket) {
  // Windows' socket handles are multiples of four.
  uintptr_t key = static_cast<uintptr_t>(socket);
  return slots_[(key ^ (key >> 2)) % kSlots];
}

inline void LastLabels::Remember(int process, intptr_t socket,
                                 const char *label) {
  Slot &slot = SlotOf(socket);
  size_t len = strlen(label);
  if (len >= kLabelSize || slot.busy.test_and_set(std::memory_order_acquire))
    return;
  slot.process = process;
  slot.socket = socket;
  memcpy(slot.label, label, len + 1);
  slot.busy.clear(std::memory_order_release);
}

inline size_t LastLabels::Recall(int process, intptr_t socket, char *out) {
  Slot &slot = SlotOf(socket);
  if (slot.busy.test_and_set(std::memory_order_acquire)) return 0;
  size_t len = 0;
  if (slot.socket == socket && slot.process == process &&
      slot.label[0] != '\0') {
    len = strlen(slot.label);
    memcpy(out, slot.label, len + 1);
    slot.label[0] = '\0';
  }
  slot.busy.clear(std::memory_order_release);
  return len;
}

}  // namespace nqdrop

#endif
