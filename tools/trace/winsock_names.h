// Names the summary attaches to what it finds in a trace: Windows Sockets
// error codes and the socket functions the tracer writes lines for.
#ifndef NQ_TOOLS_TRACE_WINSOCK_NAMES_H
#define NQ_TOOLS_TRACE_WINSOCK_NAMES_H

#include <cstdint>
#include <string_view>

namespace nqtrace {

// "WSAECONNREFUSED" for 10061; nullptr for a code this table does not know.
const char *WsaErrorName(std::uint32_t code);

// The name the tools give a code: a resolver's EAI_ name for -1 to -12 (a
// failed getaddrinfo's own code, read as two's complement), a Linux errno
// name below 10000 (the POSIX builds pass errno) but for the overlapped
// calls' 995 to 997 (WSA_IO_PENDING), a Windows Sockets name from 10000 up;
// nullptr for a code no table knows.
const char *ErrorName(std::uint32_t code);

// Whose result counts bytes moved: 1 for the calls that send (send,
// sendto, write, sendmsg, sendfile, ...), -1 for those that receive, 0 for
// the rest. The mmsg calls are written a line per message, with its bytes;
// a call that moved no message is one line whose result is 0 or -1.
int DataDirection(std::string_view name);

// True for the lines of completions of overlapped calls
// (GetQueuedCompletionStatus, CompletionRoutine, ...): their result is the
// bytes the operation they name moved, which go that operation's way.
bool IsCompletion(std::string_view name);

// True for the data calls of Windows Sockets 2 (WSASend, WSARecvFrom,
// AcceptEx, ConnectEx, ...), whose result is a status: what they moved at
// once is the length of their dump, and what they moved later comes with
// their completion.
bool MovesByDump(std::string_view name);
// The same for the plaintext of a TLS library's calls (SSL_write 1,
// SSL_read -1): bytes the socket carries encrypted, in lines of its own,
// never counted twice as the socket's.
int PlaintextDirection(std::string_view name);

// True for the socket functions the tracer hooks (connect, recv, ...).
// A line that names one of them but does not end in a readable result is
// a damaged call line rather than a record the program wrote itself.
bool IsTracedFunction(std::string_view name);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_WINSOCK_NAMES_H
