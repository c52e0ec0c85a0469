// netquill-pcap on traces the library writes of real loopback traffic,
// read by tshark: the bytes of each direction come back exactly, HTTP is
// dissected, TCP analysis finds nothing to flag, and datagrams keep their
// boundaries.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "net_shim.h"
#include "platform/os.h"
#include "support/test_env.h"

namespace {

// Runs a shell command and returns what it wrote to standard output.
std::string Shell(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string Hex(const std::string &bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

std::string Pattern(size_t n, unsigned mul, unsigned add) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * mul + add) % 256);
  return s;
}

NQ_SOCKET Socket(int type, int protocol) {
  return TX_socket(socket(AF_INET, type, protocol), AF_INET, type, protocol);
}

// Binds to 127.0.0.1 on a port of the system's choice; returns the port.
int BindLoopback(NQ_SOCKET s) {
  struct sockaddr_in any = NqNetLoopback(0);
  EXPECT_EQ(
      TX_bind(bind(s, NqNetSa(&any), sizeof any), s, NqNetSa(&any), sizeof any),
      0);
  struct sockaddr_in got;
  NQ_SOCKLEN len = sizeof got;
  EXPECT_EQ(TX_getsockname(getsockname(s, NqNetSa(&got), &len), s,
                           NqNetSa(&got), &len),
            0);
  return ntohs(got.sin_port);
}

void SendAll(NQ_SOCKET s, const std::string &data) {
  for (size_t at = 0; at < data.size();) {
    NQ_IORESULT n = TX_send(send(s, data.data() + at, data.size() - at, 0), s,
                            data.data() + at, data.size() - at, 0);
    ASSERT_GT(n, 0);
    at += static_cast<size_t>(n);
  }
}

// Receives until the peer closes; the bytes in order.
std::string ReceiveAll(NQ_SOCKET s) {
  std::string got;
  char buf[8192];
  for (;;) {
    NQ_IORESULT n = TX_recv(recv(s, buf, sizeof buf, 0), s, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string ReceiveExactly(NQ_SOCKET s, size_t want) {
  std::string got;
  char buf[8192];
  while (got.size() < want) {
    const size_t ask = std::min(sizeof buf, want - got.size());
    NQ_IORESULT n = TX_recv(recv(s, buf, ask, 0), s, buf, ask, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

class Wireshark : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Shell("command -v tshark"), "")
        << "tshark is not installed (scripts/install-deps.sh installs it)";
    NqNetStartup();
    dir_ = nqtest::MakeScratchDir("pcap-tshark");
    trace_ = Path("traffic.log");
    bridge_ = NqNetErrorBridge();
    ASSERT_EQ(WSASetupTrace(&bridge_), 1);
  }

  void TearDown() override {
    nqtest::DisableFully();
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    NqNetCleanup();
    nqtest::RemoveTree(dir_);
  }

  std::string Path(const std::string &name) const {
    return dir_ + nq::kPathSeparator + name;
  }

  // Converts the trace; the capture's path.
  std::string Convert() {
    std::ostringstream err;
    const std::string out = Path("traffic.pcapng");
    EXPECT_EQ(nqpcap::RunPcap({"-o", out, trace_}, err), 0) << err.str();
    notes_ = err.str();
    return out;
  }

  std::string Tshark(const std::string &capture, const std::string &args) {
    return Shell("tshark -r " + capture + " " + args + " 2>/dev/null");
  }

  // The bytes of each direction of a TCP stream as follow,tcp,raw gives
  // them: [0] from the first node, [1] from the second.
  std::vector<std::string> Follow(const std::string &capture, int stream) {
    std::vector<std::string> dirs(2);
    const std::string out =
        Tshark(capture, "-q -z follow,tcp,raw," + std::to_string(stream));
    bool body = false;
    for (const std::string &line : Lines(out)) {
      if (line.compare(0, 6, "Node 1") == 0) {
        body = true;
        continue;
      }
      if (!body || line.empty() || line[0] == '=') continue;
      if (line[0] == '\t')
        dirs[1] += line.substr(1);
      else
        dirs[0] += line;
    }
    return dirs;
  }

  std::string dir_;
  std::string trace_;
  std::string notes_;
  TraceErrorHooks bridge_;
};

TEST_F(Wireshark, FollowingEachStreamGivesBackEveryByteSentAndReceived) {
  // All 256 byte values, and more than 64 KiB each way, over one
  // connection whose two ends trace from two threads into one file.
  const std::string request = Pattern(100000, 1, 0);
  const std::string reply = Pattern(70000, 7, 3);
  ASSERT_EQ(WSAEnableTrace(trace_.c_str(), TRACE_FLAG_DUMP), 1);
  NQ_SOCKET ls = Socket(SOCK_STREAM, IPPROTO_TCP);
  const int port = BindLoopback(ls);
  ASSERT_EQ(TX_listen(listen(ls, 1), ls, 1), 0);

  std::string server_got;
  std::thread server([&] {
    WSAEnableTrace(trace_.c_str(), TRACE_FLAG_DUMP);
    NQ_SOCKET s = TX_accept(accept(ls, nullptr, nullptr), ls, nullptr, nullptr);
    server_got = ReceiveExactly(s, request.size());
    SendAll(s, reply);
    TX_shutdown(shutdown(s, 1), s, 1);
    ReceiveAll(s);
    TX_closesocket(NqNetClose(s), s);
    WSADisableTrace();
  });
  NQ_SOCKET c = Socket(SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in to = NqNetLoopback(port);
  ASSERT_EQ(TX_connect(connect(c, NqNetSa(&to), sizeof to), c, NqNetSa(&to),
                       sizeof to),
            0);
  SendAll(c, request);
  const std::string client_got = ReceiveAll(c);
  TX_shutdown(shutdown(c, 1), c, 1);
  server.join();
  TX_closesocket(NqNetClose(c), c);
  TX_closesocket(NqNetClose(ls), ls);
  ASSERT_EQ(server_got, request);
  ASSERT_EQ(client_got, reply);

  const std::string capture = Convert();
  EXPECT_EQ(notes_.find("note"), std::string::npos) << notes_;
  // Stream 0 is the client's view, stream 1 the server's; the first node of
  // each is the side that sent the SYN, the client.
  for (int stream = 0; stream < 2; ++stream) {
    const std::vector<std::string> dirs = Follow(capture, stream);
    EXPECT_EQ(dirs[0], Hex(request)) << "stream " << stream;
    EXPECT_EQ(dirs[1], Hex(reply)) << "stream " << stream;
  }
  EXPECT_EQ(
      Tshark(capture, "-q -z follow,tcp,raw,2").find(Hex(request.substr(0, 8))),
      std::string::npos);
  EXPECT_EQ(Tshark(capture, "-Y tcp.analysis.flags"), "");
}

TEST_F(Wireshark, Ipv6StreamsGiveBackTheirExactBytes) {
  // The lines the POSIX library writes for an IPv6 client, through its
  // own writer: both ends of the stream come back byte for byte.
  const std::string request = Pattern(70000, 3, 1), reply = Pattern(300, 5, 2);
  ASSERT_EQ(WSAEnableTrace(trace_.c_str(), TRACE_FLAG_DUMP), 1);
  const auto call = [](const std::string &text) {
    NetQuillWrite(TRACE_KIND_CALL, text.c_str(), 0);
  };
  const auto moved = [&](const char *fn, const std::string &bytes) {
    const std::string n = std::to_string(bytes.size());
    call(std::string(fn) + "(3, 0x1000, " + n + ", 0) returned " + n);
    NetQuillWrite(TRACE_KIND_DUMP, bytes.data(),
                  static_cast<std::uint32_t>(bytes.size()));
  };
  call("socket(10, 526337, 6) returned 3");
  call("connect(3, [::1]:8080, 28) returned 0");
  moved("send", request);
  moved("recv", reply);
  call("closesocket(3) returned 0");
  WSADisableTrace();

  const std::string capture = Convert();
  const std::vector<std::string> dirs = Follow(capture, 0);
  EXPECT_EQ(dirs[0], Hex(request));
  EXPECT_EQ(dirs[1], Hex(reply));
  EXPECT_EQ(Tshark(capture, "-Y tcp.analysis.flags"), "");
  EXPECT_EQ(Tshark(capture, "-Y ip"), "");
  EXPECT_EQ(Tshark(capture,
                   "-o tcp.check_checksum:TRUE -Y \"ipv6.src == ::1 && "
                   "tcp.checksum.status != 1\""),
            "");
  EXPECT_GT(Lines(Tshark(capture, "-Y \"ipv6.dst == ::1\"")).size(), 10u);
}

TEST_F(Wireshark, HttpOnAnUnknownPortDissectsAsHttp) {
  const std::string request =
      "GET /index.html HTTP/1.1\r\nHost: localhost\r\nUser-Agent: nq\r\n\r\n";
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
      "5\r\n\r\nhello";
  ASSERT_EQ(WSAEnableTrace(trace_.c_str(), TRACE_FLAG_DUMP), 1);
  NQ_SOCKET ls = Socket(SOCK_STREAM, IPPROTO_TCP);
  const int port = BindLoopback(ls);
  ASSERT_EQ(TX_listen(listen(ls, 1), ls, 1), 0);
  NQ_SOCKET c = Socket(SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in to = NqNetLoopback(port);
  ASSERT_EQ(TX_connect(connect(c, NqNetSa(&to), sizeof to), c, NqNetSa(&to),
                       sizeof to),
            0);
  struct sockaddr_in from;
  NQ_SOCKLEN from_len = sizeof from;
  NQ_SOCKET s = TX_accept(accept(ls, NqNetSa(&from), &from_len), ls,
                          NqNetSa(&from), &from_len);
  SendAll(c, request);
  EXPECT_EQ(ReceiveExactly(s, request.size()), request);
  SendAll(s, reply);
  EXPECT_EQ(ReceiveExactly(c, reply.size()), reply);
  TX_closesocket(NqNetClose(c), c);
  EXPECT_EQ(ReceiveAll(s), "");
  TX_closesocket(NqNetClose(s), s);
  TX_closesocket(NqNetClose(ls), ls);

  const std::string capture = Convert();
  const std::string fields =
      Tshark(capture, "-d tcp.port==" + std::to_string(port) +
                          ",http -Y http -T fields -e tcp.stream "
                          "-e http.request.method -e http.request.uri "
                          "-e http.response.code -e http.file_data");
  // Both views, in the order of the trace: the client's send (stream 0),
  // the server's receive (stream 1), its reply, the client's receive.
  EXPECT_EQ(fields,
            "0\tGET\t/index.html\t\t\n"
            "1\tGET\t/index.html\t\t\n"
            "1\t\t\t200\thello\n"
            "0\t\t\t200\thello\n");
  EXPECT_EQ(Tshark(capture, "-Y tcp.analysis.flags"), "");
}

TEST_F(Wireshark, UdpDatagramsKeepTheirBoundaries) {
  ASSERT_EQ(WSAEnableTrace(trace_.c_str(), TRACE_FLAG_DUMP), 1);
  NQ_SOCKET a = Socket(SOCK_DGRAM, IPPROTO_UDP);
  NQ_SOCKET b = Socket(SOCK_DGRAM, IPPROTO_UDP);
  const int port_a = BindLoopback(a);
  const int port_b = BindLoopback(b);
  struct sockaddr_in to = NqNetLoopback(port_b);
  const std::vector<std::string> datagrams = {"x", Pattern(300, 3, 1),
                                              Pattern(1200, 5, 2)};
  for (const std::string &d : datagrams)
    ASSERT_EQ(
        TX_sendto(sendto(a, d.data(), d.size(), 0, NqNetSa(&to), sizeof to), a,
                  d.data(), d.size(), 0, NqNetSa(&to), sizeof to),
        static_cast<NQ_IORESULT>(d.size()));
  for (const std::string &d : datagrams) {
    char buf[2048];
    struct sockaddr_in from;
    NQ_SOCKLEN len = sizeof from;
    ASSERT_EQ(TX_recvfrom(recvfrom(b, buf, sizeof buf, 0, NqNetSa(&from), &len),
                          b, buf, sizeof buf, 0, NqNetSa(&from), &len),
              static_cast<NQ_IORESULT>(d.size()));
  }
  TX_closesocket(NqNetClose(a), a);
  TX_closesocket(NqNetClose(b), b);

  const std::string capture = Convert();
  std::string want;
  for (int view = 0; view < 2; ++view)
    for (const std::string &d : datagrams)
      want += "127.0.0.1\t" + std::to_string(port_a) + "\t127.0.0.1\t" +
              std::to_string(port_b) + "\t" + std::to_string(d.size() + 8) +
              "\t" + Hex(d) + "\n";
  EXPECT_EQ(Tshark(capture,
                   "-Y udp -T fields -e ip.src -e udp.srcport "
                   "-e ip.dst -e udp.dstport -e udp.length -e data"),
            want);
}

// A per-process trace (its name ends in the process id) of one thread:
// every packet carries that process and the banner's thread in its process
// and thread option. tshark 4.0 reads every packet and finds the option,
// code 8 of 8 bytes, in each packet block, though it names neither id: the
// ids are read at the place its file view gives for the option's data.
TEST_F(Wireshark, EveryPacketCarriesTheProcessAndThreadOfItsTrace) {
  const unsigned pid = static_cast<unsigned>(getpid());
  trace_ = Path("traffic.log." + std::to_string(pid));
  ASSERT_EQ(WSAEnableTrace(trace_.c_str(), TRACE_FLAG_DUMP), 1);
  NQ_SOCKET a = Socket(SOCK_DGRAM, IPPROTO_UDP);
  NQ_SOCKET b = Socket(SOCK_DGRAM, IPPROTO_UDP);
  BindLoopback(a);
  struct sockaddr_in to = NqNetLoopback(BindLoopback(b));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(TX_sendto(sendto(a, "ping", 4, 0, NqNetSa(&to), sizeof to), a,
                        "ping", 4, 0, NqNetSa(&to), sizeof to),
              4);
  }
  TX_closesocket(NqNetClose(a), a);
  TX_closesocket(NqNetClose(b), b);
  WSADisableTrace();

  // The tracing thread as the trace's banner names it.
  const std::string text = nqtest::ReadFile(trace_);
  const std::size_t at = text.find("started process 0x");
  ASSERT_NE(at, std::string::npos) << text;
  const unsigned long thread = std::stoul(text.substr(at + 18, 8), nullptr, 16);

  const std::string capture = Convert();
  const std::string rc = Shell("tshark -r " + capture +
                               " -T fields -e frame.number >/dev/null "
                               "2>&1; echo $?");
  EXPECT_EQ(rc, "0\n");
  const std::vector<std::string> frames =
      Lines(Tshark(capture, "-T fields -e frame.number"));
  ASSERT_EQ(frames.size(), 3u);

  const std::string bytes = nqtest::ReadFile(capture);
  const std::vector<std::string> pdml =
      Lines(Tshark(capture, "-X read_format:\"MIME Files Format\" -T pdml"));
  std::size_t options = 0;
  for (std::size_t i = 0; i + 2 < pdml.size(); ++i) {
    if (pdml[i].find("name=\"pcapng.options.option.code\"") ==
            std::string::npos ||
        pdml[i].find("show=\"8\"") == std::string::npos)
      continue;
    ++options;
    EXPECT_NE(pdml[i + 1].find("show=\"8\""), std::string::npos) << pdml[i + 1];
    const std::string &data = pdml[i + 2];
    const std::size_t pos = data.find("pos=\"");
    ASSERT_NE(pos, std::string::npos) << data;
    const std::size_t from = std::stoul(data.substr(pos + 5));
    ASSERT_LE(from + 8, bytes.size());
    auto le32 = [&](std::size_t o) {
      return static_cast<unsigned long>(static_cast<unsigned char>(bytes[o])) |
             static_cast<unsigned long>(
                 static_cast<unsigned char>(bytes[o + 1]))
                 << 8 |
             static_cast<unsigned long>(
                 static_cast<unsigned char>(bytes[o + 2]))
                 << 16 |
             static_cast<unsigned long>(
                 static_cast<unsigned char>(bytes[o + 3]))
                 << 24;
    };
    EXPECT_EQ(le32(from), pid);
    EXPECT_EQ(le32(from + 4), thread);
  }
  EXPECT_EQ(options, frames.size());
  // The process, described once by id and module name, and every packet
  // pointing at that description, as tshark's file view names them.
  const std::string module = text.substr(0, text.find(' '));
  const auto count = [&](const std::string &field) {
    std::size_t n = 0;
    for (const std::string &line : pdml)
      n += line.find(field) != std::string::npos;
    return n;
  };
  EXPECT_EQ(count("name=\"pcapng.darwin.process_id\" showname=\"Darwin "
                  "Process ID: " +
                  std::to_string(pid) + " "),
            1u);
  EXPECT_EQ(count("name=\"pcapng.darwin.process_name\" showname=\"Darwin "
                  "Process Name: " +
                  module + "\""),
            1u);
  EXPECT_EQ(count("name=\"pcapng.options.option.data.packet.darwin.dpeb_id\" "
                  "showname=\"DPEB ID: 0\""),
            frames.size());
}

TEST_F(Wireshark, TraceWithoutDumpsGivesTheConnectionFramesAndANote) {
  ASSERT_EQ(WSAEnableTrace(trace_.c_str(), 0), 1);
  NQ_SOCKET ls = Socket(SOCK_STREAM, IPPROTO_TCP);
  const int port = BindLoopback(ls);
  ASSERT_EQ(TX_listen(listen(ls, 1), ls, 1), 0);
  NQ_SOCKET c = Socket(SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in to = NqNetLoopback(port);
  ASSERT_EQ(TX_connect(connect(c, NqNetSa(&to), sizeof to), c, NqNetSa(&to),
                       sizeof to),
            0);
  NQ_SOCKET s = TX_accept(accept(ls, nullptr, nullptr), ls, nullptr, nullptr);
  SendAll(c, "ping");
  EXPECT_EQ(ReceiveExactly(s, 4), "ping");
  TX_closesocket(NqNetClose(c), c);
  TX_closesocket(NqNetClose(s), s);
  TX_closesocket(NqNetClose(ls), ls);

  const std::string capture = Convert();
  EXPECT_NE(notes_.find("note: the trace holds no dumps"), std::string::npos)
      << notes_;
  EXPECT_EQ(Tshark(capture, "-Y \"tcp.len > 0\""), "");
  EXPECT_EQ(Lines(Tshark(capture, "-Y \"tcp.flags.syn == 1\"")).size(), 4u);
  EXPECT_EQ(Lines(Tshark(capture, "-Y \"tcp.flags.fin == 1\"")).size(), 4u);
  EXPECT_EQ(Tshark(capture, "-Y tcp.analysis.flags"), "");
}

TEST_F(Wireshark, AnOverlappedProgramsStreamsComeBackByteForByte) {
  // The checked-in trace of an AcceptEx echo server, a ConnectEx client over
  // IPv6 and an HTTP client of WSASend and WSARecv, with datagrams.
  trace_ = std::string(NQ_STAT_DATA) + "/winsock2.trace";
  const std::string capture = Convert();
  EXPECT_EQ(notes_.find("note"), std::string::npos) << notes_;
  const std::string echoed = Hex("hello0123456789abcdefghij");
  const std::vector<std::string> streams[] = {
      {echoed, echoed},
      {"0019123401000001000000000000076578616d706c650000010001ff",
       "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff0d0a000102030405060708090a0b0c0d0e0f1"
       "01112131415161718"},
      {Hex("hi"), ""},  // the same socket again, after DisconnectEx
      {Hex("GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n"),
       Hex("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")}};
  for (int stream = 0; stream < 4; ++stream)
    EXPECT_EQ(Follow(capture, stream), streams[stream]) << "stream " << stream;
  EXPECT_EQ(Tshark(capture, "-Y tcp.analysis.flags"), "");
  // The addresses are the trace's own; only the datagram socket's port,
  // which no line names, is made up.
  EXPECT_EQ(Tshark(capture,
                   "-Y \"tcp.flags.syn == 1 && tcp.flags.ack == 0 || udp\" "
                   "-T fields -e ip.src -e ipv6.src -e tcp.srcport "
                   "-e udp.srcport -e ip.dst -e ipv6.dst -e tcp.dstport "
                   "-e udp.dstport"),
            "127.0.0.1\t\t51544\t\t127.0.0.1\t\t7000\t\n"
            "\t::1\t50123\t\t\t::1\t40053\t\n"
            "127.0.0.1\t\t51550\t\t127.0.0.1\t\t7000\t\n"
            "127.0.0.1\t\t50124\t\t127.0.0.1\t\t8080\t\n"
            "\t::1\t\t49152\t\t::1\t\t53\n"
            "\t::1\t\t53\t\t::1\t\t49152\n"
            "\t::1\t\t49152\t\t::1\t\t5300\n");
  EXPECT_EQ(Tshark(capture, "-Y dns.a -T fields -e dns.a"), "127.0.0.1\n");
}

}  // namespace
