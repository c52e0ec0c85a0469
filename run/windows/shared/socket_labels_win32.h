// What -y shows after a socket's number in a call line, as the system's
// ws2_32.dll says: asked alike by netquill-run.exe's injected DLL and by
// the drop-in WSOCK32.DLL.
#ifndef NQ_RUN_WIN_SOCKET_LABELS_WIN32_H
#define NQ_RUN_WIN_SOCKET_LABELS_WIN32_H

#include <stddef.h>
#include <stdint.h>

namespace nqrun {

// The label of socket, "<TCP:[127.0.0.1:80->127.0.0.1:4000]>", into out
// (nq::kSocketLabelMax bytes); its length, 0 for none. A socket closed
// already (the line of its closesocket) has the label it last had, once.
// The caller's last error stays as it was.
size_t LabelSocket(intptr_t socket, char *out);

}  // namespace nqrun

#endif
