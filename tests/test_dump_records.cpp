// A send or receive line and its dump reach the file as one record, and a
// dump goes out in one append up to 16 MiB of text: nothing another thread
// or process writes can land between a line and its bytes.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/context.h"
#include "support/test_env.h"

using namespace nqtest;

namespace {

constexpr size_t kAppendMax = 16u << 20;  // text of one dump append

// Sizes of the appends made while a test runs, and the heap blocks taken.
std::mutex g_mu;
std::vector<size_t> g_sizes;
std::atomic<int> g_allocs{0};
std::atomic<int> g_releases{0};

int RecordingAppend(const char *path, const void *data, size_t size) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_sizes.push_back(size);
  }
  return nq::NativeOsServices().append(path, data, size);
}

void *CountingAlloc(size_t size) {
  g_allocs++;
  return nq::NativeOsServices().alloc(size);
}

void CountingRelease(void *block) {
  if (block != nullptr) g_releases++;
  nq::NativeOsServices().release(block);
}

class DumpRecords : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    g_sizes.clear();
    g_allocs = 0;
    g_releases = 0;
    nq::g_os.append = RecordingAppend;
    file_ = Path("dumps.log");
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP), 1);
    g_sizes.clear();
  }

  std::string file_;
};

std::string Pattern(size_t n) {
  std::string data(n, '\0');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  return data;
}

// Whether line is dump line k of a dump: its indentation and offset.
bool IsDumpLine(const std::string &line, size_t indent, size_t k) {
  char buf[32];
  snprintf(buf, sizeof buf, "%04zX  ", k * 16);
  std::string head = std::string(indent, ' ') + buf;
  return line.compare(0, head.size(), head) == 0;
}

TEST_F(DumpRecords, LineAndDumpAreOneAppend) {
  std::string small = Pattern(40);
  std::string large = Pattern(1 << 20);  // 1 MiB: 16 pieces before
  g_allocs = 0;
  nq::g_os.alloc = CountingAlloc;
  EXPECT_EQ(TX_send(40, 3, small.data(), 40, 0), 40);
  EXPECT_EQ(g_allocs.load(), 0);  // a small record stays on the stack
  EXPECT_EQ(TX_recv(static_cast<NQ_IORESULT>(large.size()), 3, &large[0],
                    static_cast<NQ_IOLEN>(large.size()), 0),
            static_cast<NQ_IORESULT>(large.size()));
  EXPECT_EQ(TX_recv(0, 3, &large[0], 16, 0), 0);  // a dump of nothing
  nq::g_os.alloc = nq::NativeOsServices().alloc;
  ASSERT_EQ(g_sizes.size(), 3u);
  auto lines = Lines(file_);
  ASSERT_EQ(lines.size(), 1u + 1u + 3u + 1u + 65536u + 1u);
  EXPECT_EQ(TagAndText(lines[1]).substr(0, 10), "INF: send(");
  EXPECT_TRUE(IsDumpLine(lines[2], 6, 0));
  EXPECT_TRUE(IsDumpLine(lines[4], 6, 2));
  EXPECT_EQ(TagAndText(lines[5]).substr(0, 10), "INF: recv(");
  EXPECT_TRUE(IsDumpLine(lines[6], 6, 0));
  EXPECT_TRUE(IsDumpLine(lines[5 + 65536], 6, 65535));
  EXPECT_EQ(TagAndText(lines.back()).substr(0, 10), "INF: recv(");
  // Each append is exactly its line and its dump, nothing more.
  size_t first = lines[1].size() + 2 + lines[2].size() + 2 + lines[3].size() +
                 2 + lines[4].size() + 2;
  EXPECT_EQ(g_sizes[0], first);
  EXPECT_EQ(g_sizes[2], lines.back().size() + 2);
}

// Past 16 MiB of text a dump goes on in appends of at most that size; the
// call line travels with the first.
TEST_F(DumpRecords, PastSixteenMiBInPiecesOfThatSize) {
  const size_t indent = strlen("MYAPP") + 1;
  const size_t line_max = indent + 8 + 2 + 48 + 1 + 16 + 2;
  const size_t piece = kAppendMax / line_max * 16;  // data bytes per append
  std::string data = Pattern(piece + 100);
  nq::g_os.alloc = CountingAlloc;
  nq::g_os.release = CountingRelease;
  EXPECT_EQ(TX_send(static_cast<NQ_IORESULT>(data.size()), 3, data.data(),
                    static_cast<NQ_IOLEN>(data.size()), 0),
            static_cast<NQ_IORESULT>(data.size()));
  nq::g_os.alloc = nq::NativeOsServices().alloc;
  nq::g_os.release = nq::NativeOsServices().release;
  // Records that large take the heap for themselves and give it back.
  EXPECT_GE(g_allocs.load(), 1);
  EXPECT_EQ(g_releases.load(), g_allocs.load());
  ASSERT_EQ(g_sizes.size(), 2u);
  EXPECT_LE(g_sizes[0], kAppendMax + 1024);  // and the call line
  EXPECT_EQ(g_sizes[1], 6u * indent + 6 * (6 + 2 + 48 + 1 + 16 + 2) + indent +
                            6 + 2 + 48 + 1 + 4 + 2);
  auto lines = Lines(file_);
  const size_t dump_lines = (data.size() + 15) / 16;
  ASSERT_EQ(lines.size(), 2u + dump_lines);
  size_t first = 0;  // the call line and the first piece's lines
  for (size_t i = 1; i < 2 + piece / 16; ++i) first += lines[i].size() + 2;
  EXPECT_EQ(g_sizes[0], first);
  for (size_t k = 0; k < dump_lines; ++k) {
    ASSERT_TRUE(IsDumpLine(lines[2 + k], indent, k)) << k;
  }
  // Nothing of the context's scratch is kept at that size.
  EXPECT_LE(nq::FindContext()->scratch_size, size_t{1} << 20);
}

// Threads share one file, as they do by default: each send line is followed
// by its whole dump, never by another thread's line.
TEST_F(DumpRecords, NoForeignLineInsideADump) {
  nq::g_os.append = nq::NativeOsServices().append;
  const int kRounds = 20;
  std::string data = Pattern(256 * 1024);
  std::atomic<bool> done{false};
  std::thread chatter([&] {
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
    while (!done.load()) NetQuillWrite(0, "chatter", 0);
    WSADisableTrace();
  });
  for (int i = 0; i < kRounds; ++i) {
    TX_send(static_cast<NQ_IORESULT>(data.size()), 3, data.data(),
            static_cast<NQ_IOLEN>(data.size()), 0);
  }
  done = true;
  chatter.join();
  auto lines = Lines(file_);
  int sends = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (TagAndText(lines[i]).substr(0, 10) != "INF: send(") continue;
    ++sends;
    for (size_t k = 0; k < data.size() / 16; ++k) {
      ASSERT_LT(i + 1 + k, lines.size());
      ASSERT_TRUE(IsDumpLine(lines[i + 1 + k], 6, k))
          << "line " << i + 1 + k << " of the dump after line " << i << ": "
          << lines[i + 1 + k];
    }
  }
  EXPECT_EQ(sends, kRounds);
}

// Under a thread's dump limit a dump shows its first bytes, then one line
// that counts the ones left out, in the same append; within it, the whole.
TEST_F(DumpRecords, LimitShowsTheFirstBytesThenCountsTheRest) {
  const std::string full0 =
      "      0000  48 65 6C 6C 6F 2C 20 64:75 6D 70 20 6C 69 6D 69  "
      "Hello, dump limi";
  const std::string tail16 =
      "      0010  74 21 21 21                                      t!!!";
  struct Row {
    uint32_t limit;
    int moved;
    std::vector<std::string> dump;
  } const rows[] = {
      {0, 20, {full0, tail16}},
      {20, 20, {full0, tail16}},
      {4,
       20,
       {"      0000  48 65 6C 6C                                      Hell",
        "      ... 16 more bytes"}},
      {16, 20, {full0, "      ... 4 more bytes"}},
      {16, 16, {full0}},
  };
  const char data[] = "Hello, dump limit!!!";
  uint32_t before = 0;
  for (const Row &row : rows) {
    EXPECT_EQ(WSASetTraceDumpLimit(row.limit), before);
    before = row.limit;
    size_t at = Lines(file_).size();
    g_sizes.clear();
    EXPECT_EQ(TX_send(row.moved, 3, data, 20, 0), row.moved);
    auto lines = Lines(file_);
    ASSERT_EQ(lines.size(), at + 1 + row.dump.size()) << row.limit;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + at + 1, lines.end()),
              row.dump)
        << row.limit;
    EXPECT_EQ(g_sizes.size(), 1u);  // line, dump and count in one append
  }
  WSADisableTrace();
  EXPECT_EQ(WSASetTraceDumpLimit(8), 0u);  // no trace: nothing to set
  WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP);
}

}  // namespace
