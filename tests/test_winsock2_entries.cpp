// netquill-run.exe's entries on Windows: addresses by family, the buffer
// lists of the Windows Sockets 2 data calls, overlapped calls written at
// issue and their bytes at completion, waits and lookups, exact lines.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "entries/held_file_win32.h"
#include "entries/netquill_winsock2.h"
#include "entries/winsock2_text.h"
#include "support/test_env.h"

namespace {

using Winsock2Entries = nqtest::EntriesTest;
int &t_code = Winsock2Entries::code;

std::string H(const void *p) { return nqtest::Hex(p); }

// Network byte order without the socket library, which the test does not
// load.
u_short Net16(unsigned v) {
  return static_cast<u_short>((v & 0xFF) << 8 | v >> 8);
}
u_long Loopback4() {
  const unsigned char b[4] = {127, 0, 0, 1};
  u_long v;
  memcpy(&v, b, 4);
  return v;
}

// A file at path made anew with text, open for reading and writing.
HANDLE FileWith(const std::string &path, const char *text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  WriteFile(file, text, static_cast<DWORD>(strlen(text)), &n, nullptr);
  return file;
}

// One completion of ov through GetQueuedCompletionStatusEx, with the
// kernel's status in the OVERLAPPED as the system leaves it.
ULONG CompletedEx(WSAOVERLAPPED *ov, DWORD bytes, ULONG_PTR status = 0) {
  ov->Internal = status;
  OVERLAPPED_ENTRY entry = {};
  entry.lpOverlapped = ov;
  entry.dwNumberOfBytesTransferred = bytes;
  ULONG removed = 1;
  NQW_GetQueuedCompletionStatusEx(TRUE, nullptr, &entry, 1, &removed, 0, FALSE);
  return removed;
}

const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                      0, 0, 0, 0, 0, 0, 0, 1};

sockaddr_in V4(unsigned port, uint32_t address) {
  sockaddr_in in = {};
  in.sin_family = AF_INET;
  in.sin_port = Net16(port);
  in.sin_addr.s_addr = address;
  return in;
}

sockaddr_storage V6(const unsigned char (&a)[16], unsigned port,
                    unsigned scope) {
  sockaddr_storage ss = {};
  sockaddr_in6 *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = Net16(port);
  memcpy(&in6->sin6_addr, a, 16);
  in6->sin6_scope_id = scope;
  return ss;
}

TEST_F(Winsock2Entries, AddressesAreReadByTheirFamily) {
  const unsigned char link6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0,
                                   0,    0,    0, 0, 0, 0, 0, 1};
  const unsigned char mapped[16] = {0, 0, 0,    0,    0,   0, 0, 0,
                                    0, 0, 0xff, 0xff, 127, 0, 0, 1};
  sockaddr_storage v6 = V6(kLoopback6, 443, 0), scoped = V6(link6, 80, 3),
                   v4mapped = V6(mapped, 7000, 0), any6 = {}, un = {},
                   other = {};
  any6.ss_family = AF_INET6;
  sockaddr_in v4 = V4(7000, Loopback4()), any4 = V4(0, 0);
  un.ss_family = AF_UNIX;
  memcpy(reinterpret_cast<char *>(&un) + 2, "C:\\t\\s.sock", 12);
  other.ss_family = 99;
  struct {
    const void *addr;
    int length;
    int result, code;
    const char *want;
  } cases[] = {
      {&v4, 16, 0, 0, "INF: connect(5, 127.0.0.1:7000, 16) returned 0"},
      {&any4, 16, 0, 0, "INF: connect(5, 0.0.0.0:0, 16) returned 0"},
      {&v6, 28, 0, 0, "INF: connect(5, [::1]:443, 28) returned 0"},
      {&any6, 28, 0, 0, "INF: connect(5, [::]:0, 28) returned 0"},
      {&scoped, 28, 0, 0, "INF: connect(5, [fe80::1%3]:80, 28) returned 0"},
      {&v4mapped, 28, 0, 0,
       "INF: connect(5, [::ffff:127.0.0.1]:7000, 28) returned 0"},
      {&v6, 23, -1, 10014,
       "ERR: connect(5, <0 bytes>, 23) returned -1 [10014]"},
      {&v6, 20, -1, 10022,
       "ERR: connect(5, <20 bytes>, 20) returned -1 [10022]"},
      {&un, 14, 0, 0, "INF: connect(5, \"C:\\t\\s.sock\", 14) returned 0"},
      {&other, 16, 0, 0, "INF: connect(5, <family 99>, 16) returned 0"},
      {nullptr, 0, -1, 10014, "ERR: connect(5, NULL, 0) returned -1 [10014]"},
  };
  std::vector<std::string> want;
  for (const auto &c : cases) {
    t_code = c.code;
    EXPECT_EQ(NQW_connect(c.result, 5, static_cast<const sockaddr *>(c.addr),
                          c.length),
              c.result);
    want.push_back(c.want);
  }
  EXPECT_EQ(Records(), want);
}

// An accepted peer's address is read only as far as the call wrote it.
TEST_F(Winsock2Entries, OutAddressesOnlyWhenWritten) {
  sockaddr_storage peer = V6(kLoopback6, 51544, 0);
  int length = 28;
  EXPECT_EQ(NQW_accept(9, 5, reinterpret_cast<sockaddr *>(&peer), &length),
            SOCKET(9));
  t_code = 10035;
  EXPECT_EQ(NQW_accept(INVALID_SOCKET, 5, reinterpret_cast<sockaddr *>(&peer),
                       &length),
            INVALID_SOCKET);
  EXPECT_EQ(Records(),
            (std::vector<std::string>{
                "INF: accept(5, [::1]:51544, " + H(&length) + ") returned 9",
                "WRN: accept(5, <0 bytes>, " + H(&length) +
                    ") returned INVALID_SOCKET [10035]"}));
}

// A pending receive is written at once, as a warning, and its bytes when
// the program learns of the completion, once; a send that completes at
// once dumps every buffer with its own line.
TEST_F(Winsock2Entries, OverlappedBytesComeWithTheirCompletion) {
  char first[8] = "hel", second[8] = "lo!";
  WSABUF bufs[2] = {{3, first}, {3, second}};
  WSAOVERLAPPED ov = {};
  DWORD flags = 0, moved = 0;
  t_code = 997;
  EXPECT_EQ(
      NQW_WSARecv(SOCKET_ERROR, 7, bufs, 2, nullptr, &flags, &ov, nullptr),
      SOCKET_ERROR);
  bufs[0].len = 0;  // the program may change its list while pending
  t_code = 0;
  DWORD transferred = 5;
  ULONG_PTR key = 0;
  LPOVERLAPPED got = &ov;
  EXPECT_EQ(NQW_GetQueuedCompletionStatus(TRUE, nullptr, &transferred, &key,
                                          &got, INFINITE),
            TRUE);
  // Reported once: the same OVERLAPPED again is nobody's.
  EXPECT_EQ(NQW_GetQueuedCompletionStatus(TRUE, nullptr, &transferred, &key,
                                          &got, INFINITE),
            TRUE);
  moved = 6;
  EXPECT_EQ(NQW_WSASend(0, 7, bufs + 1, 1, &moved, 0, &ov, nullptr), 0);
  CompletedEx(&ov, 3);
  std::string o = H(&ov);
  EXPECT_EQ(
      Records(),
      (std::vector<std::string>{
          "WRN: WSARecv(7, " + H(bufs) + ", 2, 0x0, " + H(&flags) + ", " + o +
              ", 0x0) returned -1 [997]",
          "INF: GetQueuedCompletionStatus(7, " + o + ", WSARecv) returned 5",
          "      0000  68 65 6C 6C 6F                                   hello",
          "INF: WSASend(7, " + H(bufs + 1) + ", 1, " + H(&moved) + ", 0, " + o +
              ", 0x0) returned 0",
          "      0000  6C 6F 21                                         lo!",
      }));
}

// A completion that failed carries the code the program got; one still
// under way (WSA_IO_INCOMPLETE) writes nothing and stays remembered.
TEST_F(Winsock2Entries, FailedAndUnfinishedCompletions) {
  char data[4] = "abc";
  WSABUF buf = {3, data};
  WSAOVERLAPPED a = {}, b = {};
  DWORD flags = 0, transferred = 0;
  t_code = 997;
  NQW_WSARecv(SOCKET_ERROR, 8, &buf, 1, nullptr, &flags, &a, nullptr);
  NQW_WSASend(SOCKET_ERROR, 8, &buf, 1, nullptr, 0, &b, nullptr);
  CompletedEx(&a, 0, 0xC000020D);  // the connection was reset
  t_code = 996;
  EXPECT_EQ(
      NQW_WSAGetOverlappedResult(FALSE, 8, &b, &transferred, FALSE, &flags),
      FALSE);
  t_code = 0;
  transferred = 2;
  EXPECT_EQ(
      NQW_WSAGetOverlappedResult(TRUE, 8, &b, &transferred, FALSE, &flags),
      TRUE);
  auto records = Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[2], "ERR: GetQueuedCompletionStatusEx(8, " + H(&a) +
                            ", WSARecv) returned -1 [10054]");
  EXPECT_EQ(records[3], "INF: WSAGetOverlappedResult(8, " + H(&b) +
                            ", WSASend) returned 2");
  EXPECT_EQ(records[4],
            "      0000  61 62                                            ab");
}

// A completion that another thread dequeues after the system's call
// returned but before the call's entry ran is written once, right after
// the call's line; one of a call that completed at once is not written
// again; one kept before a call began is never that call's.
TEST_F(Winsock2Entries, CompletionsDequeuedBeforeTheirCallsEntry) {
  char data[8] = "hello";
  WSABUF buf = {5, data};
  WSAOVERLAPPED early = {}, failed = {}, at_once = {}, reused = {};
  DWORD flags = 0, moved = 5, transferred = 5;
  ULONG_PTR key = 0;
  LPOVERLAPPED got = &early;
  NQW_IssuingCall(TRUE, &early);
  NQW_GetQueuedCompletionStatus(TRUE, nullptr, &transferred, &key, &got, 0);
  CompletedEx(&failed, 0, 0xC000020D);
  t_code = 997;
  NQW_WSARecv(SOCKET_ERROR, 7, &buf, 1, nullptr, &flags, &early, nullptr);
  NQW_WSARecv(SOCKET_ERROR, 8, &buf, 1, nullptr, &flags, &failed, nullptr);
  CompletedEx(&at_once, 5);
  t_code = 0;
  NQW_WSASend(0, 9, &buf, 1, &moved, 0, &at_once, nullptr);
  CompletedEx(&reused, 5);  // of no call being issued: never claimed
  NQW_IssuingCall(TRUE,
                  &reused);  // a later call on reused, while one is issued
  t_code = 997;
  NQW_WSARecv(SOCKET_ERROR, 10, &buf, 1, nullptr, &flags, &reused, nullptr);
  NQW_IssuingCall(FALSE, nullptr);
  NQW_IssuingCall(FALSE, nullptr);
  NQW_GetQueuedCompletionStatus(TRUE, nullptr, &transferred, &key, &got, 0);
  CompletedEx(&reused, 2);
  std::string recv = ", 0x0, " + H(&flags) + ", ";
  const char *hello =
      "      0000  68 65 6C 6C 6F                                   hello";
  EXPECT_EQ(
      Records(),
      (std::vector<std::string>{
          "WRN: WSARecv(7, " + H(&buf) + ", 1" + recv + H(&early) +
              ", 0x0) returned -1 [997]",
          "INF: GetQueuedCompletionStatus(7, " + H(&early) +
              ", WSARecv) returned 5",
          hello,
          "WRN: WSARecv(8, " + H(&buf) + ", 1" + recv + H(&failed) +
              ", 0x0) returned -1 [997]",
          "ERR: GetQueuedCompletionStatusEx(8, " + H(&failed) +
              ", WSARecv) returned -1 [10054]",
          "INF: WSASend(9, " + H(&buf) + ", 1, " + H(&moved) + ", 0, " +
              H(&at_once) + ", 0x0) returned 0",
          hello,
          "WRN: WSARecv(10, " + H(&buf) + ", 1" + recv + H(&reused) +
              ", 0x0) returned -1 [997]",
          "INF: GetQueuedCompletionStatusEx(10, " + H(&reused) +
              ", WSARecv) returned 2",
          "      0000  68 65                                            he",
      }));
}

// A completion another thread dequeues while its call is still on the way
// to its entry waits for that entry: the program, once told of it, issues
// the OVERLAPPED again into the same buffer, so the call's line and the
// bytes it moved come first, on the line of the call done at once, else
// on the completion's, and the next call's line after them.
TEST_F(Winsock2Entries, CompletionWaitsForTheEntryOfItsCall) {
  const std::string file = file_;
  struct {
    int result, code;
    bool counted;
  } cases[] = {{SOCKET_ERROR, 997, false}, {0, 0, true}, {0, 0, false}};
  for (const auto &c : cases) {
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP), 1);
    char data[8] = "hello";
    WSABUF buf = {5, data};
    WSAOVERLAPPED ov = {};
    ov.InternalHigh = 5;  // what the system leaves in it at once
    DWORD flags = 0, moved = 5;
    NQW_IssuingCall(TRUE, &ov);
    std::thread dequeuing([&] {
      WSAEnableTrace(file.c_str(), TRACE_FLAG_DUMP);
      DWORD transferred = 5;
      ULONG_PTR key = 0;
      LPOVERLAPPED got = &ov;
      NQW_GetQueuedCompletionStatus(TRUE, nullptr, &transferred, &key, &got, 0);
      memcpy(data, "world", 5);  // the next receive, into the same buffer
      t_code = 997;
      NQW_IssuingCall(TRUE, &ov);
      NQW_WSARecv(SOCKET_ERROR, 7, &buf, 1, nullptr, &flags, &ov, nullptr);
      NQW_IssuingCall(FALSE, &ov);
    });
    Sleep(50);  // long enough for a completion that does not wait to go on
    t_code = c.code;
    NQW_WSARecv(c.result, 7, &buf, 1, c.counted ? &moved : nullptr, &flags, &ov,
                nullptr);
    NQW_IssuingCall(FALSE, &ov);
    dequeuing.join();
    std::vector<std::string> records;
    for (const std::string &r : Records())
      if (r.find("started process") == std::string::npos) records.push_back(r);
    std::string call = "WSARecv(7, " + H(&buf) + ", 1, ";
    std::string rest = ", " + H(&flags) + ", " + H(&ov) + ", 0x0) returned ";
    std::string first = call + (c.counted ? H(&moved) : "0x0") + rest;
    const char *hello =
        "      0000  68 65 6C 6C 6F                                   hello";
    std::vector<std::string> want =
        c.result == 0
            ? std::vector<std::string>{"INF: " + first + "0", hello}
            : std::vector<std::string>{"WRN: " + first + "-1 [997]",
                                       "INF: GetQueuedCompletionStatus(7, " +
                                           H(&ov) + ", WSARecv) returned 5",
                                       hello};
    want.push_back("WRN: " + call + "0x0" + rest + "-1 [997]");
    EXPECT_EQ(records, want) << c.result << " " << c.counted;
    nqtest::DisableFully();
    DeleteFileA(file_.c_str());
  }
}

// TransmitFile dumps the head buffer, the file's range read back and the
// tail buffer, from a handle opened for overlapped reads too, and leaves
// the file's position; bytes beyond the dump limit, or of a range whose
// start is not known, are counted, never made up.
TEST_F(Winsock2Entries, TransmitFileDumpsTheBytesSentFromItsFile) {
  std::string path = Path("sent.bin");
  HANDLE file = FileWith(path, "abcdefghijklmnopqrstuvwxyz");
  HANDLE async = CreateFileA(path.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  // One byte more than a dump reads back of files: sent whole, it has no
  // dump, unless the dump limit asks for less.
  HANDLE big = FileWith(Path("big.bin"), "");
  LARGE_INTEGER big_size = {}, zero = {};
  big_size.QuadPart = (64 << 20) + 1;
  ASSERT_TRUE(SetFilePointerEx(big, big_size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(big));
  char head[] = "H:", tail[] = ":T";
  TRANSMIT_FILE_BUFFERS ends = {head, 2, tail, 2};
  LARGE_INTEGER at = {}, now = {};
  at.QuadPart = 10;
  WSAOVERLAPPED ov = {};
  ov.Offset = 3;
  const char *kSent =
      "      0000  48 3A 6B 6C 6D 6E 6F 3A:54                       H:klmno:T";
  const char *kCut =
      "      0000  48 3A 64 65                                      H:de";
  const char *kEnds =
      "      0000  48 3A 3A 54                                      H::T";
  struct {
    HANDLE file;
    DWORD count;
    LPOVERLAPPED ov;
    const LARGE_INTEGER *from;
    uint32_t limit;
    std::vector<std::string> dump;
  } cases[] = {
      {file, 5, nullptr, &at, 0, {kSent}},
      {async, 5, &ov, nullptr, 4, {kCut, "      ... 5 more bytes"}},
      {nullptr, 5, nullptr, nullptr, 0, {kEnds}},
      {file, 5, nullptr, nullptr, 0, {}},
      {big, 0, nullptr, &zero, 0, {}},
      {big,
       0,
       nullptr,
       &zero,
       4,
       {"      0000  48 3A 00 00                                      H:..",
        "      ... 67108865 more bytes"}},
  };
  std::vector<std::string> want;
  for (const auto &c : cases) {
    WSASetTraceDumpLimit(c.limit);
    NQW_TransmitFileFrom(TRUE, 5, c.file, c.count, 0, c.ov, &ends, 0, c.from);
    want.push_back("INF: TransmitFile(5, " + H(c.file) + ", " +
                   std::to_string(c.count) + ", 0, " + H(c.ov) + ", " +
                   H(&ends) + ", 0x0) returned TRUE");
    want.insert(want.end(), c.dump.begin(), c.dump.end());
  }
  WSASetTraceDumpLimit(0);
  EXPECT_TRUE(SetFilePointerEx(file, LARGE_INTEGER{}, &now, FILE_CURRENT));
  EXPECT_EQ(now.QuadPart, 26);
  CloseHandle(async);
  CloseHandle(file);
  CloseHandle(big);
  EXPECT_EQ(Records(), want);
}

// Waits, controls and lookups name what they saw.
TEST_F(Winsock2Entries, WaitsControlsAndLookupsSpellOutTheirValues) {
  WSAPOLLFD fds[2] = {{316, POLLRDNORM, POLLRDNORM}, {320, POLLOUT, 0}};
  NQW_WSAPoll(1, fds, 2, 1000);
  NQW_WSAEventSelect(0, 316, reinterpret_cast<WSAEVENT>(0x1c),
                     FD_READ | FD_CLOSE);
  WSANETWORKEVENTS events = {};
  events.lNetworkEvents = FD_CONNECT | FD_WRITE;
  events.iErrorCode[FD_CONNECT_BIT] = 10061;
  NQW_WSAEnumNetworkEvents(0, 316, reinterpret_cast<WSAEVENT>(0x1c), &events);
  int so_error = 10061, length = 4;
  NQW_getsockopt(0, 316, SOL_SOCKET, SO_ERROR,
                 reinterpret_cast<char *>(&so_error), &length);
  GUID connect_ex = WSAID_CONNECTEX;
  void *fn = nullptr;
  DWORD got = 0;
  NQW_WSAIoctl(0, 316, SIO_GET_EXTENSION_FUNCTION_POINTER, &connect_ex,
               sizeof connect_ex, &fn, sizeof fn, &got, nullptr, nullptr);
  u_long on = 1;
  NQW_ioctlsocket(0, 316, FIONBIO, &on);
  sockaddr_in v4 = V4(80, Loopback4());
  sockaddr_storage v6 = V6(kLoopback6, 80, 0);
  ADDRINFOW second = {}, first = {};
  second.ai_addr = reinterpret_cast<sockaddr *>(&v6);
  second.ai_addrlen = sizeof(sockaddr_in6);
  first.ai_addr = reinterpret_cast<sockaddr *>(&v4);
  first.ai_addrlen = sizeof v4;
  first.ai_next = &second;
  PADDRINFOW list = &first;
  NQW_GetAddrInfoW(0, L"localhost", L"80", nullptr, &list);
  t_code = 11001;
  PADDRINFOA none = nullptr;
  NQW_getaddrinfo(11001, "nx.invalid", nullptr, nullptr, &none);
  std::string fds_text = H(fds), events_text = H(&events);
  EXPECT_EQ(
      Records(),
      (std::vector<std::string>{
          "INF: WSAPoll(" + fds_text +
              ", 2, 1000) returned 1 (316 POLLRDNORM/POLLRDNORM, 320 "
              "POLLOUT/0)",
          "INF: WSAEventSelect(316, 0x1c, FD_READ|FD_CLOSE) returned 0",
          "INF: WSAEnumNetworkEvents(316, 0x1c, " + events_text +
              ") returned 0 (FD_WRITE 0, FD_CONNECT 10061)",
          "INF: getsockopt(316, 65535, 4103, " + H(&so_error) + ", " +
              H(&length) + ") returned 0 (SO_ERROR 10061)",
          "INF: WSAIoctl(316, SIO_GET_EXTENSION_FUNCTION_POINTER, ConnectEx, "
          "16, " +
              H(&fn) + ", " + std::to_string(sizeof fn) + ", " + H(&got) +
              ", 0x0, 0x0) returned 0",
          "INF: ioctlsocket(316, FIONBIO, " + H(&on) + ") returned 0",
          "INF: GetAddrInfoW(\"localhost\", \"80\") returned 0 "
          "(127.0.0.1:80, [::1]:80)",
          "WRN: getaddrinfo(\"nx.invalid\", NULL) returned 11001 [11001]",
      }));
}

// A lookup in the background that failed, told by its overlapped result
// (the routine's way runs through the launcher's test); connections by a
// list or a name that failed; TransmitPackets dumps its elements, the
// files' read back, at once or at completion.
TEST_F(Winsock2Entries, FailedLookupConnectionsByNameAndPackets) {
  sockaddr_in v4 = V4(80, Loopback4());
  sockaddr_storage v6 = V6(kLoopback6, 80, 0);
  PADDRINFOEXW list = nullptr;
  OVERLAPPED ov = {};
  t_code = 997;
  NQW_GetAddrInfoExW(997, L"nx", nullptr, 0, nullptr, nullptr, &list, nullptr,
                     &ov, nullptr, nullptr);
  EXPECT_EQ(NQW_GetAddrInfoExOverlappedResult(10036, &ov), 10036);  // goes on
  t_code = 11001;
  EXPECT_EQ(NQW_GetAddrInfoExOverlappedResult(11001, &ov), 11001);
  DWORD length = sizeof v4;
  struct {
    INT count;
    SOCKET_ADDRESS a[2];
  } two = {2,
           {{reinterpret_cast<sockaddr *>(&v4), sizeof v4},
            {reinterpret_cast<sockaddr *>(&v6), 28}}};
  t_code = 0;
  NQW_WSAConnectByList(TRUE, 317, reinterpret_cast<SOCKET_ADDRESS_LIST *>(&two),
                       nullptr, nullptr, &length,
                       reinterpret_cast<sockaddr *>(&v4), nullptr, nullptr);
  t_code = 10061;
  NQW_WSAConnectByNameA(FALSE, 318, "localhost", "1", &length,
                        reinterpret_cast<sockaddr *>(&v4), nullptr, nullptr,
                        nullptr, nullptr);
  // Elements in the order they go out; the files' ranges read back at
  // issue, the second up to the file's end; a file element on a handle
  // that is no disk file leaves its call without a dump.
  HANDLE file = FileWith(Path("packets.bin"), "0123456789");
  char head[] = "GET", tail[] = "!\n";
  TRANSMIT_PACKETS_ELEMENT e[5] = {{TP_ELEMENT_MEMORY, 3, {}},
                                   {TP_ELEMENT_FILE, 3, {}},
                                   {TP_ELEMENT_MEMORY, 2, {}},
                                   {TP_ELEMENT_FILE, 0, {}},
                                   {TP_ELEMENT_FILE, 4, {}}};
  e[0].pBuffer = head, e[2].pBuffer = tail;
  e[1].hFile = e[3].hFile = file;
  e[1].nFileOffset.QuadPart = 2, e[3].nFileOffset.QuadPart = 7;
  t_code = 0;
  NQW_TransmitPackets(TRUE, 316, e, 3, 0, nullptr, 0);
  t_code = 997;
  NQW_TransmitPackets(FALSE, 316, e + 2, 2, 0, &ov, 0);
  CompletedEx(&ov, 5);
  t_code = 0;
  NQW_TransmitPackets(TRUE, 316, e + 4, 1, 0, nullptr, 0);
  CloseHandle(file);
  std::string o = H(&ov);
  EXPECT_EQ(
      Records(),
      (std::vector<std::string>{
          "WRN: GetAddrInfoExW(\"nx\", NULL, " + o + ") returned 997 [997]",
          "WRN: GetAddrInfoExOverlappedResult(-1, " + o +
              ", GetAddrInfoExW) returned -1 [11001]",
          "INF: WSAConnectByList(317, [127.0.0.1:80, [::1]:80], NULL, "
          "127.0.0.1:80) returned TRUE",
          "ERR: WSAConnectByNameA(318, \"localhost\", \"1\", <0 bytes>, "
          "NULL) returned FALSE [10061]",
          "INF: TransmitPackets(316, " + H(e) +
              ", 3, 0, 0x0, 0x0) returned TRUE (buffers 2, bytes 5, files 1)",
          "      0000  47 45 54 32 33 34 21 0A:                         "
          "GET234!.",
          "WRN: TransmitPackets(316, " + H(e + 2) + ", 2, 0, " + o +
              ", 0x0) returned FALSE (buffers 1, bytes 2, files 1) [997]",
          "INF: GetQueuedCompletionStatusEx(316, " + o +
              ", TransmitPackets) returned 5",
          "      0000  21 0A 37 38 39                                   !.789",
          "INF: TransmitPackets(316, " + H(e + 4) +
              ", 1, 0, 0x0, 0x0) returned TRUE (buffers 0, bytes 0, files 1)",
      }));
}

// The held file takes every record to its path, from every thread, in one
// write each; other paths, and devices, go by path.
TEST_F(Winsock2Entries, HeldFileTakesTheRecordsOfItsPath) {
  std::string held = Path("held.log"), other = Path("other.log");
  EXPECT_EQ(NQW_HoldTraceFile("NUL"), 0);
  EXPECT_EQ(NQW_HoldTraceFile(held.c_str()), 1);
  int result = 0;
  EXPECT_FALSE(nq::AppendHeld(other.c_str(), "x", 1, &result));
  ASSERT_EQ(WSASetTraceFile(held.c_str()), 1);
  SetLastError(1234);
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_PLAIN, "one", 0), 1);
  EXPECT_EQ(GetLastError(), 1234u);
  ASSERT_TRUE(nq::AppendHeld(held.c_str(), "two\r\n", 5, &result));
  EXPECT_EQ(result, 1);
  ASSERT_EQ(WSASetTraceFile(other.c_str()), 1);
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_PLAIN, "three", 0), 1);
  auto held_lines = Lines(held);
  ASSERT_EQ(held_lines.size(), 2u);
  EXPECT_EQ(nqtest::TagAndText(held_lines[0]), "INF: one");
  EXPECT_EQ(held_lines[1], "two");
  auto other_lines = Lines(other);
  ASSERT_EQ(other_lines.size(), 1u);
  EXPECT_EQ(nqtest::TagAndText(other_lines[0]), "INF: three");
}

// A program that closes every handle it finds cannot close the held file's,
// so its value never comes back for a file of the program's: the record
// after the attempt goes to the trace, and nothing into the program's file.
TEST_F(Winsock2Entries, HeldHandleOutlivesAProgramThatClosesIt) {
  std::string held = Path("held-closed.log"), own = Path("own.log");
  ASSERT_EQ(NQW_HoldTraceFile(held.c_str()), 1);
  ASSERT_EQ(WSASetTraceFile(held.c_str()), 1);
  auto identity = [](HANDLE h, BY_HANDLE_FILE_INFORMATION *info) {
    return GetFileType(h) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(h, info);
  };
  HANDLE probe = CreateFileA(held.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION want, info;
  ASSERT_TRUE(identity(probe, &want));
  HANDLE found = nullptr;
  for (uintptr_t value = 4; value < 0x4000 && found == nullptr; value += 4) {
    HANDLE h = reinterpret_cast<HANDLE>(value);
    if (h != probe && identity(h, &info) &&
        info.dwVolumeSerialNumber == want.dwVolumeSerialNumber &&
        info.nFileIndexHigh == want.nFileIndexHigh &&
        info.nFileIndexLow == want.nFileIndexLow)
      found = h;
  }
  CloseHandle(probe);
  ASSERT_NE(found, nullptr) << "the held handle";
  EXPECT_FALSE(CloseHandle(found));
  HANDLE mine = CreateFileA(own.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(mine, INVALID_HANDLE_VALUE);
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_PLAIN, "after the close", 0), 1);
  CloseHandle(mine);
  auto lines = Lines(held);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(nqtest::TagAndText(lines[0]), "INF: after the close");
  EXPECT_TRUE(Lines(own).empty());
}

// Control codes by the numbers Windows gives them, where the SDK here has
// no name, and extensions the launcher does not trace.
TEST(Winsock2Text, NamesCodesAndExtensionsByTheirValues) {
  const struct {
    uint32_t code;
    const char *name;
  } kCodes[] = {
      {0x8004667E, "FIONBIO"},
      {0xC8000006, "SIO_GET_EXTENSION_FUNCTION_POINTER"},
      {0x4004747B, "SIO_IDEAL_SEND_BACKLOG_QUERY"},
      {0x2000747A, "SIO_IDEAL_SEND_BACKLOG_CHANGE"},
      {0x580000D2, "SIO_QUERY_RSS_SCALABILITY_INFO"},
      {0x0004747C, nullptr},
  };
  for (const auto &c : kCodes)
    EXPECT_STREQ(nq::ControlCodeName(c.code), c.name) << std::hex << c.code;
  GUID sockaddrs = WSAID_GETACCEPTEXSOCKADDRS, poll = WSAID_WSAPOLL;
  EXPECT_STREQ(nq::ExtensionName(&sockaddrs), "GetAcceptExSockaddrs");
  EXPECT_STREQ(nq::ExtensionName(&poll), "WSAPoll");
  sockaddrs.Data4[7] ^= 1;
  EXPECT_EQ(nq::ExtensionName(&sockaddrs), nullptr);
}

}  // namespace
