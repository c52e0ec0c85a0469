// netquill-pcap on hand-made traces: each rule of the conversion checked
// frame by frame through an independent reader of the capture.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app.h"
#include "capture.h"
#include "pcapng_reader.h"
#include "platform/os.h"
#include "support/test_env.h"

using nqpcaptest::Capture;
using nqpcaptest::Describe;
using nqpcaptest::Frame;

namespace {

const char kBanner[] =
    "APP 100000 0000 INF: started process 0x10 trace on 12-07-2026 10:00:00 "
    "[4.0.4000]";
// 2026-12-07 00:00:00 in seconds since 1970.
constexpr std::uint64_t kDay = 1796601600;

// Dump lines as the writer lays them out, indented for module APP.
std::vector<std::string> Dump(const std::string &data, std::size_t offset = 0,
                              std::size_t indent = 4) {
  static const char kHex[] = "0123456789ABCDEF";
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < data.size(); at += 16) {
    char off[24];
    std::snprintf(off, sizeof off, "%04zX", offset + at);
    std::string line = std::string(indent, ' ') + off + "  ";
    std::string chars;
    for (std::size_t j = 0; j < 16; ++j) {
      if (at + j < data.size()) {
        const auto b = static_cast<unsigned char>(data[at + j]);
        line += kHex[b >> 4];
        line += kHex[b & 15];
        line += j == 7 ? ':' : ' ';
        chars += b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
      } else {
        line += "   ";
      }
    }
    lines.push_back(line + " " + chars);
  }
  return lines;
}

void Append(std::vector<std::string> &to,
            const std::vector<std::string> &more) {
  to.insert(to.end(), more.begin(), more.end());
}

bool EndsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() &&
         s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Pcap : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = nqtest::MakeScratchDir("pcap"); }
  void TearDown() override { nqtest::RemoveTree(dir_); }

  std::string Path(const std::string &name) const {
    return dir_ + nq::kPathSeparator + name;
  }

  void Write(const std::string &name, const std::string &text) {
    std::ofstream(Path(name), std::ios::binary) << text;
  }

  int Run(const std::vector<std::string> &args) {
    std::ostringstream err;
    const int status = nqpcap::RunPcap(args, err);
    err_ = err.str();
    return status;
  }

  // The lines with CR LF as t.log (or name), converted, and the capture
  // read back.
  Capture Convert(const std::vector<std::string> &lines,
                  const std::string &name = "t.log") {
    std::string text;
    for (const std::string &l : lines) text += l + "\r\n";
    Write(name, text);
    EXPECT_EQ(Run({"-o", Path("t.pcapng"), Path(name)}), 0) << err_;
    Capture c = nqpcaptest::ReadCapture(nqtest::ReadFile(Path("t.pcapng")));
    EXPECT_TRUE(c.ok) << c.error;
    for (const Frame &f : c.frames) EXPECT_TRUE(f.checksums_ok);
    return c;
  }

  std::string dir_;
  std::string err_;
};

TEST_F(Pcap, ClientConversationHandshakeDataAndClose) {
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 INF: connect(3, 10.1.2.3:80, 16) returned 0",
      "APP 100000 0000 INF: send(3, 0x1000, 5, 0) returned 5"};
  Append(t, Dump("hello"));
  t.push_back("APP 100000 0000 INF: recv(3, 0x1000, 512, 0) returned 7");
  Append(t, Dump(std::string("\0\1\377 wor", 7)));
  t.push_back("APP 100000 0000 INF: closesocket(3) returned 0");
  const Capture c = Convert(t);
  EXPECT_EQ(c.link_type, 101);
  const std::vector<std::string> want = {
      "192.0.2.1:49152 > 10.1.2.3:80 SYN seq 0 len 0",
      "10.1.2.3:80 > 192.0.2.1:49152 SYN,ACK seq 0 ack 1 len 0",
      "192.0.2.1:49152 > 10.1.2.3:80 ACK seq 1 ack 1 len 0",
      "192.0.2.1:49152 > 10.1.2.3:80 PSH,ACK seq 1 ack 1 len 5",
      "10.1.2.3:80 > 192.0.2.1:49152 ACK seq 1 ack 6 len 0",
      "10.1.2.3:80 > 192.0.2.1:49152 PSH,ACK seq 1 ack 6 len 7",
      "192.0.2.1:49152 > 10.1.2.3:80 ACK seq 6 ack 8 len 0",
      "192.0.2.1:49152 > 10.1.2.3:80 FIN,ACK seq 6 ack 8 len 0",
      "10.1.2.3:80 > 192.0.2.1:49152 FIN,ACK seq 8 ack 7 len 0",
      "192.0.2.1:49152 > 10.1.2.3:80 ACK seq 7 ack 9 len 0"};
  EXPECT_EQ(Describe(c), want);
  ASSERT_EQ(c.frames.size(), want.size());
  EXPECT_EQ(c.frames[3].payload, "hello");
  EXPECT_EQ(c.frames[5].payload,
            std::string("\x00\x01\xff world", 9).substr(0, 7));
  // Each frame cites the line it comes from: module, thread and call.
  const std::pair<int, std::string> comments[] = {
      {0, "t.log:3 APP thread 0x10: connect(3, 10.1.2.3:80, 16) returned 0"},
      {3, "t.log:4 APP thread 0x10: send(3, 0x1000, 5, 0) returned 5"},
      {5, "t.log:6 APP thread 0x10: recv(3, 0x1000, 512, 0) returned 7"},
      {9, "t.log:8 APP thread 0x10: closesocket(3) returned 0"}};
  for (const auto &[frame, comment] : comments)
    EXPECT_TRUE(EndsWith(c.frames[frame].comment, "/" + comment) ||
                EndsWith(c.frames[frame].comment, "\\" + comment))
        << c.frames[frame].comment;
  EXPECT_NE(err_.find("10 frames"), std::string::npos) << err_;
  EXPECT_EQ(err_.find("note"), std::string::npos) << err_;
}

TEST_F(Pcap, AcceptedSocketIsOpenedByThePeerOnTheListenersAddress) {
  std::vector<std::string> t = {
      kBanner,
      "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 INF: bind(3, 0.0.0.0:8080, 16) returned 0",
      "APP 100000 0000 INF: listen(3, 5) returned 0",
      "APP 100000 0000 INF: accept(3, 127.0.0.1:40000, 0x2000) returned 4",
      "APP 100000 0000 INF: recv(4, 0x1000, 512, 0) returned 2"};
  Append(t, Dump("hi"));
  t.push_back("APP 100000 0000 INF: recv(4, 0x1000, 512, 0) returned 0");
  t.push_back("APP 100000 0000 INF: closesocket(4) returned 0");
  const std::vector<std::string> want = {
      "127.0.0.1:40000 > 127.0.0.1:8080 SYN seq 0 len 0",
      "127.0.0.1:8080 > 127.0.0.1:40000 SYN,ACK seq 0 ack 1 len 0",
      "127.0.0.1:40000 > 127.0.0.1:8080 ACK seq 1 ack 1 len 0",
      "127.0.0.1:40000 > 127.0.0.1:8080 PSH,ACK seq 1 ack 1 len 2",
      "127.0.0.1:8080 > 127.0.0.1:40000 ACK seq 1 ack 3 len 0",
      "127.0.0.1:40000 > 127.0.0.1:8080 FIN,ACK seq 3 ack 1 len 0",
      "127.0.0.1:8080 > 127.0.0.1:40000 ACK seq 1 ack 4 len 0",
      "127.0.0.1:8080 > 127.0.0.1:40000 FIN,ACK seq 1 ack 4 len 0",
      "127.0.0.1:40000 > 127.0.0.1:8080 ACK seq 4 ack 2 len 0"};
  EXPECT_EQ(Describe(Convert(t)), want);
}

TEST_F(Pcap, BothEndsInOneTraceAreTwoStreams) {
  // The client asks for its own address, the server is told the same one:
  // the second view gets a made-up port so the two stay apart.
  std::vector<std::string> t = {
      kBanner,
      "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 INF: bind(3, 127.0.0.1:9000, 16) returned 0",
      "APP 100000 0000 INF: listen(3, 5) returned 0",
      "APP 100000 0000 INF: socket(2, 1, 6) returned 5",
      "APP 100000 0000 INF: connect(5, 127.0.0.1:9000, 16) returned 0",
      "APP 100000 0000 INF: accept(3, 127.0.0.1:49152, 0x2000) returned 6"};
  const std::vector<std::string> d = Describe(Convert(t));
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[0], "127.0.0.1:49152 > 127.0.0.1:9000 SYN seq 0 len 0");
  EXPECT_EQ(d[3], "127.0.0.1:49153 > 127.0.0.1:9000 SYN seq 0 len 0");
}

TEST_F(Pcap, HandleUsedAgainAfterCloseIsANewConversation) {
  const std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 INF: connect(3, 10.0.0.1:25, 16) returned 0",
      "APP 100000 0000 INF: closesocket(3) returned 0",
      "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 INF: connect(3, 10.0.0.1:25, 16) returned 0",
      "APP 100000 0000 INF: closesocket(3) returned 0",
      // The same handle in another module is another socket.
      "OTHER 100000 0000 INF: connect(3, 10.0.0.1:25, 16) returned 0"};
  const std::vector<std::string> d = Describe(Convert(t));
  ASSERT_EQ(d.size(), 15u);
  EXPECT_EQ(d[0], "192.0.2.1:49152 > 10.0.0.1:25 SYN seq 0 len 0");
  EXPECT_EQ(d[6], "192.0.2.1:49153 > 10.0.0.1:25 SYN seq 0 len 0");
  EXPECT_EQ(d[12], "192.0.2.1:49154 > 10.0.0.1:25 SYN seq 0 len 0");
}

TEST_F(Pcap, FailedCallsAddNoFrames) {
  const std::vector<std::string> t = {
      kBanner,
      "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 ERR: connect(3, 10.0.0.1:1, 16) returned -1 [10061]",
      "APP 100000 0000 ERR: send(3, 0x1000, 5, 0) returned -1 [10057]",
      "APP 100000 0000 ERR: closesocket(3) returned -1 [10038]",
      "APP 100000 0000 ERR: socket(2, 1, 6) returned INVALID_SOCKET [10024]",
      "APP 100000 0000 ERR: accept(7, NULL, 0x0) returned INVALID_SOCKET "
      "[10022]",
      "APP 100000 0000 WRN: recv(8, 0x1000, 5, 0) returned -1 [10035]",
      "APP 100000 0000 ERR: connect(9, <2 bytes>, 2) returned -1 [10014]"};
  EXPECT_EQ(Convert(t).frames.size(), 0u);
  EXPECT_NE(err_.find("0 frames"), std::string::npos) << err_;
}

// A dump cut by the trace's limit: its bytes go into the stream, the rest
// is stepped over, never made up, and the frame at the gap says how many.
// A frame names its thread only while one thread of the module traces.
TEST_F(Pcap, CutDumpStepsOverTheBytesItLeavesOut) {
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 INF: connect(3, 10.1.2.3:80, 16) returned 0",
      "APP 100000 0000 INF: send(3, 0x1000, 40, 0) returned 20"};
  Append(t, Dump("GET "));
  t.push_back("    ... 16 more bytes");
  t.push_back("APP 100000 0000 INF: started process 0x2A trace on ...");
  t.push_back("APP 100000 0000 INF: recv(3, 0x1000, 512, 0) returned 3");
  Append(t, Dump("200"));
  t.push_back("APP 100000 0000 INF: socket(2, 2, 17) returned 4");
  t.push_back(
      "APP 100000 0000 INF: sendto(4, 0x1000, 9, 0, 10.0.0.1:53, 16) "
      "returned 9");
  Append(t, Dump("q"));
  t.push_back("    ... 8 more bytes");
  const Capture c = Convert(t);
  const std::vector<std::string> want = {
      "192.0.2.1:49152 > 10.1.2.3:80 SYN seq 0 len 0",
      "10.1.2.3:80 > 192.0.2.1:49152 SYN,ACK seq 0 ack 1 len 0",
      "192.0.2.1:49152 > 10.1.2.3:80 ACK seq 1 ack 1 len 0",
      "192.0.2.1:49152 > 10.1.2.3:80 PSH,ACK seq 1 ack 1 len 4",
      "10.1.2.3:80 > 192.0.2.1:49152 ACK seq 1 ack 5 len 0",
      "10.1.2.3:80 > 192.0.2.1:49152 ACK seq 1 ack 21 len 0",
      "10.1.2.3:80 > 192.0.2.1:49152 PSH,ACK seq 1 ack 21 len 3",
      "192.0.2.1:49152 > 10.1.2.3:80 ACK seq 21 ack 4 len 0"};
  EXPECT_EQ(Describe(c), want);
  ASSERT_EQ(c.frames.size(), want.size());
  EXPECT_EQ(c.frames[3].payload, "GET ");
  EXPECT_TRUE(EndsWith(c.frames[5].comment,
                       "t.log:4 APP thread 0x10: send(3, 0x1000, 40, 0) "
                       "returned 20 (16 bytes not in the trace)"))
      << c.frames[5].comment;
  EXPECT_TRUE(EndsWith(c.frames[6].comment,
                       "t.log:8 APP: recv(3, 0x1000, 512, 0) returned 3"))
      << c.frames[6].comment;
  EXPECT_NE(err_.find("note: 2 dump(s) cut by the trace's dump limit (24 "
                      "bytes not in the trace), 1 of them UDP datagrams left "
                      "out"),
            std::string::npos)
      << err_;
}

TEST_F(Pcap, NonBlockingConnectStartsAtItsFirstAttempt) {
  std::vector<std::string> t = {
      kBanner,
      "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 WRN: connect(3, 10.0.0.1:80, 16) returned -1 [10035]",
      "APP 100000 0000 INF: select(0, 0x0, 0x1000, 0x0, NULL) returned 1",
      "APP 100000 0000 ERR: connect(3, 10.0.0.1:80, 16) returned -1 [10056]",
      "APP 100000 0000 INF: send(3, 0x1000, 1, 0) returned 1"};
  Append(t, Dump("x"));
  // One that would block and then is refused opens nothing.
  t.push_back("APP 100000 0000 INF: socket(2, 1, 6) returned 4");
  t.push_back(
      "APP 100000 0000 WRN: connect(4, 10.0.0.1:81, 16) returned -1 [10035]");
  t.push_back(
      "APP 100000 0000 ERR: connect(4, 10.0.0.1:81, 16) returned -1 [10061]");
  t.push_back("APP 100000 0000 INF: closesocket(4) returned 0");
  // As the Linux build writes it: in progress, then the data.
  t.push_back("APP 100000 0000 INF: socket(2, 1, 6) returned 5");
  t.push_back(
      "APP 100000 0000 ERR: connect(5, 10.0.0.1:82, 16) returned -1 [115]");
  t.push_back("APP 100000 0000 INF: recv(5, 0x1000, 9, 0) returned 0");
  const Capture c = Convert(t);
  const std::vector<std::string> d = Describe(c);
  ASSERT_EQ(d.size(), 3u + 2 + 3 + 2);
  EXPECT_EQ(d[0], "192.0.2.1:49152 > 10.0.0.1:80 SYN seq 0 len 0");
  EXPECT_TRUE(EndsWith(c.frames[0].comment,
                       "t.log:3 APP thread 0x10: connect(3, 10.0.0.1:80, 16) "
                       "returned -1 [10035]"));
  EXPECT_TRUE(EndsWith(c.frames[3].comment,
                       "t.log:6 APP thread 0x10: send(3, 0x1000, 1, 0) "
                       "returned 1"));
  EXPECT_EQ(d[5], "192.0.2.1:49153 > 10.0.0.1:82 SYN seq 0 len 0");
  EXPECT_TRUE(EndsWith(c.frames[5].comment,
                       "t.log:13 APP thread 0x10: connect(5, 10.0.0.1:82, 16) "
                       "returned -1 [115]"));
  EXPECT_EQ(d[8], "10.0.0.1:82 > 192.0.2.1:49153 FIN,ACK seq 1 ack 1 len 0");
}

TEST_F(Pcap, ShortAddressTextIsNoAddress) {
  const std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: connect(3, <8 bytes>, 8) returned 0"};
  const std::vector<std::string> d = Describe(Convert(t));
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0], "192.0.2.1:49153 > 192.0.2.2:49152 SYN seq 0 len 0");
}

TEST_F(Pcap, UdpDatagramsKeepTheirBoundaries) {
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: socket(2, 2, 17) returned 3",
      "APP 100000 0000 INF: bind(3, 0.0.0.0:5353, 16) returned 0",
      "APP 100000 0000 INF: sendto(3, 0x1000, 20, 0, 10.0.0.9:53, 16) returned "
      "20"};
  Append(t, Dump(std::string(20, 'a')));
  t.push_back(
      "APP 100000 0000 INF: sendto(3, 0x1000, 1, 0, 10.0.0.9:53, 16) returned "
      "1");
  Append(t, Dump("b"));
  t.push_back(
      "APP 100000 0000 INF: sendto(3, 0x1000, 0, 0, 10.0.0.9:53, 16) returned "
      "0");
  t.push_back(
      "APP 100000 0000 INF: recvfrom(3, 0x1000, 512, 0, 10.0.0.9:53, 0x2000) "
      "returned 33");
  Append(t, Dump(std::string(33, 'c')));
  // More than an IP packet carries, its dump cut short: each full payload
  // goes out as soon as its bytes are there, the rest is a note.
  t.push_back(
      "APP 100000 0000 INF: sendto(3, 0x1000, 140000, 0, "
      "10.0.0.9:53, 16) returned 140000");
  Append(t, Dump(std::string(70000, 'u')));
  t.push_back("APP 100000 0000 INF: closesocket(3) returned 0");
  const Capture c = Convert(t);
  const std::vector<std::string> want = {
      "UDP 192.0.2.1:5353 > 10.0.0.9:53 len 20",
      "UDP 192.0.2.1:5353 > 10.0.0.9:53 len 1",
      "UDP 192.0.2.1:5353 > 10.0.0.9:53 len 0",
      "UDP 10.0.0.9:53 > 192.0.2.1:5353 len 33",
      "UDP 192.0.2.1:5353 > 10.0.0.9:53 len 65507"};
  EXPECT_EQ(Describe(c), want);
  ASSERT_EQ(c.frames.size(), 5u);
  EXPECT_EQ(c.frames[3].payload, std::string(33, 'c'));
  EXPECT_EQ(c.frames[4].payload, std::string(65507, 'u'));
  EXPECT_NE(err_.find("1 send(s) and receive(s) without their dump left out "
                      "(70000 bytes)"),
            std::string::npos);
}

// Ends the trace names are used, also when they come late or v4-mapped.
TEST_F(Pcap, AddressesComeFromTheTraceWhereverItHasThem) {
  const std::string loop6 = std::string(15, '\0') + "\x01";
  const std::string mapped =
      std::string(10, '\0') + std::string("\xff\xff\x7f\0\0\x01", 6);
  struct Case {
    std::vector<std::string> lines;
    std::vector<std::string> ends;  // src6 > dst6 of each frame, as named
  };
  const std::vector<Case> cases = {
      {{"socket(10, 2, 17) returned 3", "bind(3, [::]:5201, 28) returned 0",
        "recvfrom(3, 0x1000, 512, 0, [::1]:40000, 0x2000) returned 4",
        "connect(3, [::1]:40000, 28) returned 0",
        "send(3, 0x1000, 3, 0) returned 3"},
       {"loop:40000 > loop:5201", "loop:5201 > loop:40000"}},
      {{"socket(10, 2, 17) returned 3", "bind(3, [::]:5201, 28) returned 0",
        "recvfrom(3, 0x1000, 512, 0, [::ffff:127.0.0.1]:40000, 0x2000) "
        "returned 4",
        "send(3, 0x1000, 3, 0) returned 3"},
       {"mapped:40000 > mapped:5201", "mapped:5201 > mapped:40000"}},
      {{"socket(10, 1, 6) returned 3", "bind(3, [::]:8080, 28) returned 0",
        "listen(3, 5) returned 0",
        "accept(3, [::ffff:127.0.0.1]:41000, 0x2000) returned 4"},
       {"mapped:41000 > mapped:8080", "mapped:8080 > mapped:41000",
        "mapped:41000 > mapped:8080"}},
  };
  for (const Case &k : cases) {
    std::vector<std::string> t = {kBanner};
    for (const std::string &l : k.lines) {
      t.push_back("APP 100000 0000 INF: " + l);
      if (l.find("send(") == 0 || l.find("recv") == 0)
        Append(t, Dump(std::string(std::stoul(l.substr(l.rfind(' '))), 'x')));
    }
    const Capture c = Convert(t);
    std::vector<std::string> ends;
    auto name = [&](const std::string &a) -> std::string {
      return a == loop6 ? "loop" : a == mapped ? "mapped" : "other";
    };
    for (const Frame &f : c.frames)
      ends.push_back(name(f.src6) + ":" + std::to_string(f.src_port) + " > " +
                     name(f.dst6) + ":" + std::to_string(f.dst_port));
    EXPECT_EQ(ends, k.ends) << k.lines[2];
  }
}

TEST_F(Pcap, TraceWithoutDumpsGivesConnectionFramesAndANote) {
  const std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      "APP 100000 0000 INF: send(3, 0x1000, 100, 0) returned 100",
      "APP 100000 0000 INF: recv(3, 0x1000, 512, 0) returned 300",
      "APP 100000 0000 INF: closesocket(3) returned 0"};
  const std::vector<std::string> d = Describe(Convert(t));
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[3], "192.0.2.1:49152 > 10.0.0.1:80 FIN,ACK seq 1 ack 1 len 0");
  EXPECT_NE(err_.find("note: the trace holds no dumps: the capture has the "
                      "connection frames but none of the 400 bytes"),
            std::string::npos)
      << err_;
}

TEST_F(Pcap, DumpsWithoutTheirCallLineAreCountedInANote) {
  // Flags 5: failed calls only, but the dumps of every call.
  std::vector<std::string> t = {
      "APP 100000 0000 ERR: connect(3, 10.0.0.1:1, 16) returned -1 [10061]"};
  Append(t, Dump("GET / HTTP/1.0\r\n\r\n"));
  Append(t, Dump("HTTP/1.0 200 OK\r\n"));
  t.push_back("APP 100000 0000 ERR: recv(3, 0x1000, 5, 0) returned -1 [10054]");
  Append(t, Dump("x"));
  EXPECT_EQ(Convert(t).frames.size(), 0u);
  EXPECT_NE(err_.find("note: 3 dump(s) without their call line left out"),
            std::string::npos)
      << err_;
}

TEST_F(Pcap, SocketsWithoutIpTrafficAreLeftOutEachWithItsReason) {
  // Only socket 11 (a type with SOCK_NONBLOCK and SOCK_CLOEXEC) is IP: its
  // peeked bytes come once, and no dump is taken for a lost call line.
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: socket(1, 1, 0) returned 3",
      "APP 100000 0000 INF: send(3, 0x1000, 2, 0) returned 2"};
  Append(t, Dump("hi"));
  t.push_back("APP 100000 0000 INF: socketpair(1, 1, 0, [4, 5]) returned 0");
  t.push_back("APP 100000 0000 INF: recv(5, 0x1000, 512, 0) returned 2");
  Append(t, Dump("ab"));
  for (const char *line :
       {"socket(23, 1, 6) returned 6", "connect(6, <family 23>, 8) returned 0",
        "socket(2, 3, 1) returned 7", "bind(8, \"/tmp/x.sock\", 13) returned 0",
        "accept(8, \"\", 0x2000) returned 9",
        "connect(10, <family 16>, 12) returned 0",
        "socket(2, 526337, 6) returned 11",
        "connect(11, 10.0.0.1:80, 16) returned 0",
        "recv(9, 0x1000, 512, 0) returned 4"})
    t.push_back(std::string("APP 100000 0000 INF: ") + line);
  Append(t, Dump("unix"));
  for (const char *call :
       {"recv(11, 0x1000, 512, 2)", "recvmsg(11, 0x2000, NULL, 2)",
        "recv(11, 0x1000, 512, 0)", "write(11, 0x1000, 4)",
        "sendfile(11, 12, 0x0, 4)", "sendmmsg(11, 0x2000, NULL, 0)"}) {
    t.push_back(std::string("APP 100000 0000 INF: ") + call + " returned 4");
    Append(t, Dump("abcd"));
  }
  t.push_back("APP 100000 0000 INF: sendmmsg(11, 0x0, 0, 0) returned 0");
  t.push_back(
      "APP 100000 0000 INF: splice(12, 0x0, 11, 0x0, 100, 0) returned 100");
  const Capture c = Convert(t);
  ASSERT_EQ(c.frames.size(), 11u);
  EXPECT_EQ(c.frames[3].payload + c.frames[5].payload + c.frames[7].payload +
                c.frames[9].payload,
            "abcdabcdabcdabcd");
  for (const char *note :
       {"note: 3 AF_UNIX socket(s) left out", "note: 2 socketpair end(s)",
        "note: 2 socket(s) of another family than IPv4 and IPv6",
        "note: 1 socket(s) neither stream nor datagram",
        "note: 1 splice call(s) left out (100 bytes)"})
    EXPECT_NE(err_.find(note), std::string::npos) << note << "\n" << err_;
  EXPECT_EQ(err_.find("call line"), std::string::npos) << err_;
}

// Labels after the numbers of a socketpair's ends hold brackets of their
// own: the ends are still the two numbers, and left out.
TEST_F(Pcap, LabelledSocketpairEndsAreLeftOut) {
  std::vector<std::string> t = {
      kBanner,
      "APP 100000 0000 INF: socketpair(1, 1, 0, [4<UNIX:[/a]>, 5<UNIX:[]>]) "
      "returned 0",
      "APP 100000 0000 INF: recv(5<UNIX:[]>, 0x1000, 512, 0) returned 2"};
  Append(t, Dump("ab"));
  const Capture c = Convert(t);
  EXPECT_EQ(c.frames.size(), 0u);
  EXPECT_NE(err_.find("note: 2 socketpair end(s)"), std::string::npos) << err_;
}

TEST_F(Pcap, Ipv6SocketsGiveIpv6Frames) {
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: socket(10, 2049, 6) returned 3",
      "APP 100000 0000 INF: connect(3, [2001:db8::5%2]:443, 28) returned 0",
      "APP 100000 0000 INF: send(3, 0x1000, 5, 0) returned 5"};
  Append(t, Dump("hello"));
  t.push_back("APP 100000 0000 INF: socket(10, 2, 17) returned 4");
  t.push_back(
      "APP 100000 0000 INF: sendto(4, 0x1000, 3, 0, [::1]:53, 28) returned 3");
  Append(t, Dump("abc"));
  const Capture c = Convert(t);
  ASSERT_EQ(c.frames.size(), 6u);
  const std::string server =
      "\x20\x01\x0d\xb8" + std::string(11, '\0') + "\x05";
  for (const Frame &f : c.frames) EXPECT_TRUE(f.v6);
  EXPECT_EQ(c.frames[0].dst6, server);
  EXPECT_EQ(c.frames[0].dst_port, 443);
  EXPECT_EQ(c.frames[3].payload, "hello");
  EXPECT_EQ(c.frames[5].dst6, std::string(15, '\0') + "\x01");
  EXPECT_EQ(c.frames[5].payload, "abc");
}

TEST_F(Pcap, HandlesOfTwoProcessesAreNeverMerged) {
  // Two processes of one name append to one file, both using handle 3;
  // which one a line after the second socket() means cannot be told.
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: socket(2, 1, 6) returned 3",
      "APP 100000 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      "APP 100000 0000 INF: send(3, 0x1000, 1, 0) returned 1"};
  Append(t, Dump("A"));
  t.push_back(kBanner);
  t.push_back("APP 100000 0000 INF: socket(2, 1, 6) returned 3");
  t.push_back("APP 100000 0000 INF: connect(3, 10.0.0.2:80, 16) returned 0");
  t.push_back("APP 100000 0000 INF: send(3, 0x1000, 1, 0) returned 1");
  Append(t, Dump("B"));
  t.push_back("APP 100000 0000 INF: closesocket(3) returned 0");
  t.push_back("APP 100000 0000 INF: closesocket(3) returned 0");
  // Both closed: the handle means one socket again.
  t.push_back("APP 100000 0000 INF: socket(2, 1, 6) returned 3");
  t.push_back("APP 100000 0000 INF: connect(3, 10.0.0.3:80, 16) returned 0");
  t.push_back("APP 100000 0000 INF: send(3, 0x1000, 1, 0) returned 1");
  Append(t, Dump("C"));
  const Capture c = Convert(t);
  std::string sent;
  for (const Frame &f : c.frames) {
    EXPECT_NE(f.dst_ip, 0x0A000002u);
    sent += f.payload;
  }
  EXPECT_EQ(sent, "AC");
  EXPECT_NE(err_.find("note: 2 socket(s) left out from the line where their "
                      "handle was opened again"),
            std::string::npos)
      << err_;
  EXPECT_EQ(err_.find("call line"), std::string::npos) << err_;
}

TEST_F(Pcap, ConversationsBetweenTheSameEndsNeverRunOutOfPorts) {
  // A client polling one server: more conversations than the made-up
  // ports from 49152 once held.
  std::vector<std::string> t = {kBanner};
  for (int i = 0; i < 16386; ++i) {
    t.push_back("APP 100000 0000 INF: connect(3, 127.0.0.1:80, 16) returned 0");
    t.push_back("APP 100000 0000 INF: closesocket(3) returned 0");
  }
  const Capture c = Convert(t);
  ASSERT_EQ(c.frames.size(), 16386u * 6);
  EXPECT_EQ(c.frames[16385 * 6].src_port, 1025);
  // Past every port there is, the pair gives up at once.
  struct Nowhere : nqpcap::FrameSink {
    void Frame(std::uint64_t, const std::uint8_t *, std::size_t,
               std::string_view, const nqpcap::FrameIds &) override {}
  } sink;
  nqpcap::Capture capture(sink);
  nqpcap::Endpoint server, client;
  server.port = 80;
  for (std::uint32_t i = 0; i < nqpcap::Capture::kMadeUpPorts; ++i)
    ASSERT_TRUE(capture.ClaimWithMadeUpPort(server, client)) << i;
  EXPECT_FALSE(capture.ClaimWithMadeUpPort(server, client));
  EXPECT_FALSE(capture.ClaimWithMadeUpPort(server, client));
}

TEST_F(Pcap, DumpsFindTheirCallsAcrossOtherThreadsLines) {
  // Two threads' call lines come before both dumps, in either order; a
  // dump of more than 64 KiB comes in pieces with another line between.
  std::string big(70000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7 % 251);
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      "APP 100000 0000 INF: connect(4, 10.0.0.2:80, 16) returned 0",
      "APP 100000 0000 INF: send(3, 0x1000, 3, 0) returned 3",
      "APP 100000 0000 INF: send(4, 0x1000, 20, 0) returned 20"};
  Append(t, Dump(std::string(20, 'B')));
  Append(t, Dump("AAA"));
  t.push_back("APP 100000 0000 INF: send(3, 0x1000, 70000, 0) returned 70000");
  const std::vector<std::string> pieces = Dump(big);
  t.insert(t.end(), pieces.begin(), pieces.begin() + 4096);
  t.push_back("APP 100000 0000 INF: app: another thread's record");
  t.insert(t.end(), pieces.begin() + 4096, pieces.end());
  const Capture c = Convert(t);
  std::string to3, to4;
  for (const Frame &f : c.frames) {
    if (f.dst_ip == 0x0A000001) to3 += f.payload;
    if (f.dst_ip == 0x0A000002) to4 += f.payload;
  }
  EXPECT_EQ(to3, "AAA" + big);
  EXPECT_EQ(to4, std::string(20, 'B'));
  EXPECT_EQ(err_.find("note"), std::string::npos) << err_;
}

TEST_F(Pcap, TimesFollowTheBannerTheClockAndTheElapsedSums) {
  const std::vector<std::string> t = {
      kBanner, "APP 100001 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      "APP 100001 0250 INF: closesocket(3) returned 0",
      "APP 100002 0900 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      "APP 100002 0400 INF: shutdown(3, 1) returned 0",
      "APP 100002 0400 INF: shutdown(3, 2) returned 0",
      "APP 100002 0400 INF: recv(3, 0x1000, 1, 0) returned 0",
      // Another module's clock a second behind: times never run backwards.
      "OTHER 100001 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      // Past midnight a new banner gives the date.
      "APP 000005 0000 INF: started process 0x11 trace on 12-08-2026 00:00:05 "
      "[4.0.4000]",
      "APP 000005 0003 INF: connect(4, 10.0.0.1:80, 16) returned 0"};
  const Capture c = Convert(t);
  ASSERT_EQ(c.frames.size(), 3u + 3 + 3 + 2 + 2 + 3 + 3);
  const std::uint64_t s = 1000000, base = (kDay + 10 * 3600 + 1) * s;
  EXPECT_EQ(c.frames[0].time_us, base);
  EXPECT_EQ(c.frames[3].time_us, base + 250000);
  EXPECT_EQ(c.frames[6].time_us, base + s);  // first line of its second
  EXPECT_EQ(c.frames[9].time_us, base + s + 400000);
  // 1200 ms within one second: the sum stops below the next second.
  EXPECT_EQ(c.frames[11].time_us, base + s + 999000);
  EXPECT_EQ(c.frames[13].time_us, base + s + 999000);  // not a second back
  EXPECT_EQ(c.frames[16].time_us, (kDay + 86400 + 5) * s + 3000);
  for (std::size_t i = 1; i < c.frames.size(); ++i)
    EXPECT_GE(c.frames[i].time_us, c.frames[i - 1].time_us);
}

// Two threads around midnight: a line written late, from before midnight,
// is of the day before and moves no date on, so the lines after it stay
// on the new day.
TEST_F(Pcap, ALateLineFromBeforeMidnightKeepsTheDate) {
  const Capture c =
      Convert({"APP 235958 0000 INF: started process 0x10 trace on 12-07-2026 "
               "23:59:58 [4.0.4000]",
               "APP 235958 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
               "APP 000001 0000 INF: connect(4, 10.0.0.1:81, 16) returned 0",
               "APP 235959 0000 INF: connect(5, 10.0.0.1:82, 16) returned 0",
               "APP 000002 0000 INF: connect(6, 10.0.0.1:83, 16) returned 0"});
  ASSERT_EQ(c.frames.size(), 12u);
  const std::uint64_t s = 1000000, midnight = (kDay + 86400) * s;
  EXPECT_EQ(c.frames[0].time_us, midnight - 2 * s);
  EXPECT_EQ(c.frames[3].time_us, midnight + s);
  EXPECT_EQ(c.frames[6].time_us, midnight + s);  // never back in time
  EXPECT_EQ(c.frames[9].time_us, midnight + 2 * s);
}

// A call timed by the launcher starts at its clock's microseconds, exact;
// the module's untimed lines after it in that second go on from there.
TEST_F(Pcap, TimedLinesGiveTheirStartToTheMicrosecond) {
  const std::vector<std::string> t = {
      kBanner,
      "APP 100001.123456 0000 INF: connect(3<TCP>, 10.0.0.1:80, 16) returned "
      "0 <0.000100>",
      "APP 100001.999999 0000 INF: send(3<TCP:[192.0.2.1:5->10.0.0.1:80]>, "
      "0x1, 2, 0) returned 2 <0.000001>",
      "    0000  68 69                                            hi",
      "APP 100001 0100 INF: shutdown(3, 1) returned 0",
      "APP 100003.000007 0000 INF: recv(3, 0x1000, 1, 0) returned 0 "
      "<1.500000>",
      // Past midnight, the day goes on as for the plain clock.
      "APP 230000.500000 0000 INF: connect(4, 10.0.0.1:80, 16) returned 0",
      "APP 000001.000001 0000 INF: connect(5, 10.0.0.1:80, 16) returned 0"};
  const Capture c = Convert(t);
  ASSERT_EQ(c.frames.size(), 3u + 2 + 2 + 2 + 3 + 3);
  const std::uint64_t s = 1000000, base = (kDay + 10 * 3600 + 1) * s;
  EXPECT_EQ(c.frames[0].time_us, base + 123456);
  EXPECT_EQ(c.frames[3].time_us, base + 999999);
  EXPECT_EQ(c.frames[4].time_us, base + 999999);
  // 999 ms taken from the timed line, plus 100 stops below the second,
  // and times never run back to 999000.
  EXPECT_EQ(c.frames[5].time_us, base + 999999);
  EXPECT_EQ(c.frames[7].time_us, base + 2 * s + 7);
  EXPECT_EQ(c.frames[9].time_us, (kDay + 23 * 3600) * s + 500000);
  EXPECT_EQ(c.frames[12].time_us, (kDay + 86400 + 1) * s + 1);
  // The labels change no socket: one conversation, its data in order.
  EXPECT_EQ(c.frames[3].payload, "hi");
}

// Each frame carries the process and thread of its call where the trace
// tells them: the thread from its module's one started banner, the process
// from a per-process file name; the unknown one 0, neither no option. A
// known process is described (id and module) once, before its frames.
TEST_F(Pcap, FramesCarryTheProcessAndThreadOfTheirCall) {
  const std::string call =
      "APP 100000 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0";
  const std::string second_thread =
      "APP 100000 0000 INF: started process 0x11 trace on 12-07-2026 "
      "10:00:00 [4.0.4000]";
  const struct {
    const char *file;
    bool banner;
    bool two_threads;
    bool has_ids;
    std::uint32_t process;
    std::uint32_t thread;
    const char *described;  // the one process description; "" none
  } rows[] = {
      {"t.log", true, false, true, 0, 0x10, ""},
      {"t.log.4321", true, false, true, 4321, 0x10, "4321 APP"},
      {"t.log.4321", true, true, true, 4321, 0, "4321 APP"},
      {"t.log.4321", false, false, true, 4321, 0, "4321 APP"},
      {"t.log", false, false, false, 0, 0, ""},
      {"t.log.0123", true, false, true, 0, 0x10, ""},
      {"t.log.4294967296", true, false, true, 0, 0x10, ""},
      {"t.log.4294967295", false, false, true, 4294967295u, 0,
       "4294967295 APP"},
      {"t.4321.log", true, false, true, 0, 0x10, ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.file) + (r.banner ? " banner" : "") +
                 (r.two_threads ? " two threads" : ""));
    std::vector<std::string> t;
    if (r.banner) t.push_back(kBanner);
    if (r.two_threads) t.push_back(second_thread);
    t.push_back(call);
    const Capture c = Convert(t, r.file);
    ASSERT_EQ(c.frames.size(), 3u);
    EXPECT_EQ(c.processes.size(), *r.described ? 1u : 0u);
    for (const Frame &f : c.frames) {
      EXPECT_EQ(f.has_ids, r.has_ids);
      EXPECT_EQ(f.process, r.process);
      EXPECT_EQ(f.thread, r.thread);
      EXPECT_EQ(f.described, r.described);
    }
  }
}

// A process that runs another program keeps its id under a new module
// name: a second description, each frame naming its own.
TEST_F(Pcap, AProcessIsDescribedAgainUnderANewName) {
  const Capture c = Convert(
      {kBanner, "APP 100000 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
       "NEXT 100001 0000 INF: connect(4, 10.0.0.1:81, 16) returned 0",
       "APP 100002 0000 INF: closesocket(3) returned 0"},
      "t.log.77");
  EXPECT_EQ(c.processes, (std::vector<std::string>{"77 APP", "77 NEXT"}));
  std::vector<std::string> described;
  for (const Frame &f : c.frames) described.push_back(f.described);
  EXPECT_EQ(described, (std::vector<std::string>{
                           "77 APP", "77 APP", "77 APP", "77 NEXT", "77 NEXT",
                           "77 NEXT", "77 APP", "77 APP", "77 APP"}));
}

TEST_F(Pcap, DamagedLinesAreReportedByNumber) {
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      "APP 1000 0000 INF: send(3, 0x1000, 5, 0) returned 5",
      "APP 100000 0000 INF: send(3, 0x1000, 20, 0) returned 20"};
  std::vector<std::string> dump = Dump(std::string(20, 'z'));
  dump[0][13] = 'q';  // a hex cell spoiled
  Append(t, dump);
  t.push_back("APP 100000 0000 INF: send(3, 0x1000, 2, 0) returned 2");
  Append(t, Dump("ok"));
  t.push_back("APP 100000 0000 INF: send(3, 0x1000, 2, 0) returned 2\x01");
  t.push_back("APP 100000 0000 INF: send(3, 0x1000, 2, 0) ret");
  // A dump written in part, the next record on its last line.
  t.push_back("APP 100000 0000 INF: send(3, 0x1000, 20, 0) returned 20");
  dump = Dump(std::string(20, 'y'));
  Append(t, {dump[0], dump[1].substr(0, 20) + "APP 100000 0000 INF: x"});
  const Capture c = Convert(t);
  EXPECT_NE(err_.find("t.log:13: malformed line (two records on one line)"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("t.log:3: malformed line (bad clock field)"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("t.log:5: malformed line (bad dump line: bad hex cell)"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("t.log:9: malformed line (control or binary bytes)"),
            std::string::npos);
  EXPECT_NE(
      err_.find("t.log:10: malformed line (call without a readable result)"),
      std::string::npos);
  EXPECT_NE(err_.find("note: 2 dump(s) with damaged lines left out"),
            std::string::npos);
  // The spoilt dump's bytes are left out whole; the stream goes on.
  std::string sent;
  for (const Frame &f : c.frames) sent += f.payload;
  EXPECT_EQ(sent, "ok");
}

TEST_F(Pcap, TheDamagedSamplesGiveLineNumberedMessages) {
  // The same damaged lines netquill-stat reports, and nothing else fails.
  const std::string data = NQ_STAT_DATA;
  ASSERT_EQ(Run({"-o", Path("c.pcapng"), data + "/corrupt.trace"}), 0);
  std::ifstream expected(data + "/expected/corrupt-stderr.txt");
  std::string line;
  int checked = 0;
  while (std::getline(expected, line)) {
    if (line.find("malformed line") == std::string::npos) continue;
    EXPECT_NE(err_.find(line.substr(line.find("corrupt.trace:"))),
              std::string::npos)
        << line << "\n"
        << err_;
    ++checked;
  }
  EXPECT_GT(checked, 5);
  EXPECT_TRUE(nqpcaptest::ReadCapture(nqtest::ReadFile(Path("c.pcapng"))).ok);

  // A trace cut in the middle of a dump line.
  std::vector<std::string> t = {
      kBanner, "APP 100000 0000 INF: connect(3, 10.0.0.1:80, 16) returned 0",
      "APP 100000 0000 INF: send(3, 0x1000, 20, 0) returned 20"};
  Append(t, Dump(std::string(20, 'z')));
  std::string text;
  for (const std::string &l : t) text += l + "\r\n";
  Write("cut.log", text.substr(0, text.size() - 20));
  EXPECT_EQ(Run({"-o", Path("cut.pcapng"), Path("cut.log")}), 0);
  EXPECT_NE(err_.find("cut.log:5: malformed line (bad dump line"),
            std::string::npos)
      << err_;
}

TEST_F(Pcap, DamageAnywhereNeverBreaksTheCapture) {
  // The real trace of the demo, spoilt at random in many ways: every run
  // ends with status 0 and a capture that reads back whole.
  const std::string good =
      nqtest::ReadFile(std::string(NQ_PCAP_DATA) + "/echo.trace");
  ASSERT_GT(good.size(), 1000u);
  std::mt19937 rnd(12);
  for (int round = 0; round < 300; ++round) {
    std::string bad = good;
    const int edits = 1 + static_cast<int>(rnd() % 8);
    for (int e = 0; e < edits && !bad.empty(); ++e) {
      const std::size_t at = rnd() % bad.size();
      switch (rnd() % 5) {
        case 0:  // a byte changed
          bad[at] = static_cast<char>(rnd());
          break;
        case 1:  // a piece lost
          bad.erase(at, rnd() % 200);
          break;
        case 2:  // a piece doubled
          bad.insert(at, bad.substr(at, rnd() % 200));
          break;
        case 3:  // cut off
          bad.resize(at);
          break;
        default:  // a line break added or lost
          bad[at] = bad[at] == '\n' ? ' ' : '\n';
          break;
      }
    }
    Write("bad.log", bad);
    ASSERT_EQ(Run({"-o", Path("bad.pcapng"), Path("bad.log")}), 0) << err_;
    const Capture c =
        nqpcaptest::ReadCapture(nqtest::ReadFile(Path("bad.pcapng")));
    ASSERT_TRUE(c.ok) << "round " << round << ": " << c.error;
    for (const Frame &f : c.frames) ASSERT_TRUE(f.checksums_ok);
  }
}

TEST_F(Pcap, CommandLine) {
  Write("a.log", std::string(kBanner) + "\r\n");
  EXPECT_EQ(Run({Path("a.log")}), 0) << err_;
  EXPECT_TRUE(nqpcaptest::ReadCapture(nqtest::ReadFile(Path("a.pcapng"))).ok);
  EXPECT_EQ(nqpcap::DefaultOutput("dir.x/trace"), "dir.x/trace.pcapng");
  EXPECT_EQ(nqpcap::DefaultOutput("app.log"), "app.pcapng");
  EXPECT_EQ(nqpcap::DefaultOutput(".hidden"), ".hidden.pcapng");
  EXPECT_EQ(nqpcap::DefaultOutput("c:\\logs\\app.log"), "c:\\logs\\app.pcapng");

  EXPECT_EQ(Run({"-"}), 2);
  EXPECT_NE(err_.find("standard input as trace needs -o"), std::string::npos);
  EXPECT_EQ(Run({}), 2);
  EXPECT_EQ(Run({"-o"}), 2);
  EXPECT_EQ(Run({"--bogus", Path("a.log")}), 2);
  // The capture never overwrites a trace, by whatever name it is given.
  Write("trace.pcapng", std::string(kBanner) + "\r\n");
  std::vector<std::vector<std::string>> same = {
      {"-o", Path("a.log"), Path("a.log")},
      {"-o", dir_ + nq::kPathSeparator + "." + nq::kPathSeparator + "a.log",
       Path("a.log")},
      {Path("trace.pcapng")}};
  std::error_code link_error;
  std::filesystem::create_symlink(Path("a.log"), Path("link"), link_error);
  if (!link_error) same.push_back({"-o", Path("link"), Path("a.log")});
  for (const std::vector<std::string> &args : same) {
    EXPECT_EQ(Run(args), 2) << args.back();
    EXPECT_NE(err_.find("itself; give another -o"), std::string::npos) << err_;
  }
  // Nor the trace it reads on standard input.
  ASSERT_NE(std::freopen(Path("a.log").c_str(), "rb", stdin), nullptr);
  EXPECT_EQ(Run({"-o", Path("a.log"), "-"}), 2);
  EXPECT_NE(err_.find("the output " + Path("a.log") +
                      " is the trace standard input itself"),
            std::string::npos)
      << err_;
  EXPECT_EQ(nqtest::ReadFile(Path("a.log")), std::string(kBanner) + "\r\n");
  EXPECT_EQ(nqtest::ReadFile(Path("trace.pcapng")),
            std::string(kBanner) + "\r\n");
  // A missing trace: status 1, the others still converted.
  EXPECT_EQ(Run({"-o", Path("m.pcapng"), Path("gone.log"), Path("a.log")}), 1);
  EXPECT_NE(err_.find("cannot open"), std::string::npos);
  EXPECT_TRUE(nqpcaptest::ReadCapture(nqtest::ReadFile(Path("m.pcapng"))).ok);
}

}  // namespace

TEST_F(Pcap, OverlappedCallsCaseByCase) {
  // Lines of module APP; "= bytes" stands for the dump of those bytes.
  struct Case {
    const char *what;
    std::vector<std::string> lines;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"AcceptEx done at once: the listener's address, its first data",
       {"socket(2, 1, 6) returned 3", "bind(3, 127.0.0.1:80, 16) returned 0",
        "listen(3, 5) returned 0",
        "WSASocketW(2, 1, 6, 0x0, 0, 0x81) returned 4",
        "AcceptEx(3, 4, 0x1000, 16, 44, 44, 0x2000, 0x3000) returned TRUE",
        "= GET", "closesocket(4) returned 0"},
       {"127.0.0.1:49152 > 127.0.0.1:80 SYN seq 0 len 0",
        "127.0.0.1:80 > 127.0.0.1:49152 SYN,ACK seq 0 ack 1 len 0",
        "127.0.0.1:49152 > 127.0.0.1:80 ACK seq 1 ack 1 len 0",
        "127.0.0.1:49152 > 127.0.0.1:80 PSH,ACK seq 1 ack 1 len 3",
        "127.0.0.1:80 > 127.0.0.1:49152 ACK seq 1 ack 4 len 0",
        "127.0.0.1:80 > 127.0.0.1:49152 FIN,ACK seq 1 ack 4 len 0",
        "127.0.0.1:49152 > 127.0.0.1:80 FIN,ACK seq 4 ack 2 len 0",
        "127.0.0.1:80 > 127.0.0.1:49152 ACK seq 2 ack 5 len 0"}},
      {"ConnectEx done at once sends its bytes, over IPv6 (family 23)",
       {"WSASocketW(23, 1, 6, 0x0, 0, 0x81) returned 5",
        "bind(5, [::1]:6000, 28) returned 0",
        "ConnectEx(5, [::1]:443, 28, 0x1000, 2, 0x2000, 0x3000) returned TRUE",
        "= hi"},
       {"[0:0:0:0:0:0:0:1]:6000 > [0:0:0:0:0:0:0:1]:443 SYN seq 0 len 0",
        "[0:0:0:0:0:0:0:1]:443 > [0:0:0:0:0:0:0:1]:6000 SYN,ACK seq 0 ack 1 "
        "len 0",
        "[0:0:0:0:0:0:0:1]:6000 > [0:0:0:0:0:0:0:1]:443 ACK seq 1 ack 1 len 0",
        "[0:0:0:0:0:0:0:1]:6000 > [0:0:0:0:0:0:0:1]:443 PSH,ACK seq 1 ack 1 "
        "len 2",
        "[0:0:0:0:0:0:0:1]:443 > [0:0:0:0:0:0:0:1]:6000 ACK seq 1 ack 3 len "
        "0"}},
      {"ConnectEx: none when it fails, a stream even if nothing moves",
       {"WRN: ConnectEx(5, 127.0.0.1:1, 16, 0x0, 0, 0x0, 0x2) returned "
        "FALSE [997]",
        "ERR: GetOverlappedResult(5, 0x2, ConnectEx) returned -1 [10061]",
        "closesocket(5) returned 0",
        "WRN: ConnectEx(6, 10.0.0.2:22, 16, 0x0, 0, 0x0, 0x3) returned "
        "FALSE [997]",
        "GetOverlappedResultEx(6, 0x3, ConnectEx) returned 0",
        "shutdown(6, 1) returned 0"},
       {"192.0.2.1:49152 > 10.0.0.2:22 SYN seq 0 len 0",
        "10.0.0.2:22 > 192.0.2.1:49152 SYN,ACK seq 0 ack 1 len 0",
        "192.0.2.1:49152 > 10.0.0.2:22 ACK seq 1 ack 1 len 0",
        "192.0.2.1:49152 > 10.0.0.2:22 FIN,ACK seq 1 ack 1 len 0",
        "10.0.0.2:22 > 192.0.2.1:49152 ACK seq 1 ack 2 len 0"}},
      {"AcceptEx's completion without addresses: the listener's, its data",
       {"socket(2, 1, 6) returned 3", "bind(3, 10.0.0.1:25, 16) returned 0",
        "WRN: AcceptEx(3, 4, 0x1, 16, 44, 44, 0x2, 0x3) returned FALSE [997]",
        "GetQueuedCompletionStatus(3, 0x3, AcceptEx, 4) returned 2", "= hi"},
       {"192.0.2.2:49152 > 10.0.0.1:25 SYN seq 0 len 0",
        "10.0.0.1:25 > 192.0.2.2:49152 SYN,ACK seq 0 ack 1 len 0",
        "192.0.2.2:49152 > 10.0.0.1:25 ACK seq 1 ack 1 len 0",
        "192.0.2.2:49152 > 10.0.0.1:25 PSH,ACK seq 1 ack 1 len 2",
        "10.0.0.1:25 > 192.0.2.2:49152 ACK seq 1 ack 3 len 0"}},
      {"WSARecvFrom done at once: one datagram of its whole dump",
       {"WSASocketA(2, 2, 17, 0x0, 0, 0x1) returned 7",
        "WSARecvFrom(7, 0x1000, 1, 0x1010, 0x1014, 10.0.0.53:53, 0x1018, "
        "0x0, 0x0) returned 0",
        "= twenty bytes of it!!", "closesocket(7) returned 0"},
       {"UDP 10.0.0.53:53 > 192.0.2.1:49152 len 20"}},
      {"WSARecvFrom pending: its completion names the datagram's peer",
       {"WSASocketA(2, 2, 17, 0x0, 0, 0x1) returned 7",
        "WRN: WSARecvFrom(7, 0x1000, 1, 0x0, 0x1014, <0 bytes>, 0x1018, "
        "0x5, 0x0) returned -1 [997]",
        "GetQueuedCompletionStatus(7, 0x5, WSARecvFrom, 10.0.0.9:5353) "
        "returned 3",
        "= abc", "closesocket(7) returned 0"},
       {"UDP 10.0.0.9:5353 > 192.0.2.1:49152 len 3"}},
      {"WSAConnectByNameW connects both ends; TransmitPackets sends its "
       "memory elements",
       {"socket(2, 1, 6) returned 5",
        "WSAConnectByNameW(5, \"localhost\", \"80\", 127.0.0.1:6000, "
        "127.0.0.1:80) returned TRUE",
        "TransmitPackets(5, 0x1, 2, 0, 0x0, 0x0) returned TRUE (buffers 1, "
        "bytes 2, files 1)",
        "= hi"},
       {"127.0.0.1:6000 > 127.0.0.1:80 SYN seq 0 len 0",
        "127.0.0.1:80 > 127.0.0.1:6000 SYN,ACK seq 0 ack 1 len 0",
        "127.0.0.1:6000 > 127.0.0.1:80 ACK seq 1 ack 1 len 0",
        "127.0.0.1:6000 > 127.0.0.1:80 PSH,ACK seq 1 ack 1 len 2",
        "127.0.0.1:80 > 127.0.0.1:6000 ACK seq 1 ack 3 len 0"}},
  };
  for (const Case &k : cases) {
    std::vector<std::string> t = {kBanner};
    for (const std::string &l : k.lines) {
      if (l.compare(0, 2, "= ") == 0)
        Append(t, Dump(l.substr(2)));
      else
        t.push_back("APP 100000 0000 " +
                    (l[3] == ':' ? l : std::string("INF: ") + l));
    }
    EXPECT_EQ(Describe(Convert(t)), k.want) << k.what;
    EXPECT_EQ(err_.find("note"), std::string::npos) << k.what << "\n" << err_;
  }
}
