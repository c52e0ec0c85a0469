// The ring of records the traced processes share with the launcher:
// layouts, order across laps, threads and processes writing at once, a
// full ring, and writers killed at each step of a record.
#include "record_ring.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using nqring::PutResult;

std::uint32_t Tid() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }
std::uint32_t Pid() { return static_cast<std::uint32_t>(getpid()); }

// A ring in shared anonymous memory, which forked children write into.
struct SharedRing {
  explicit SharedRing(std::uint32_t data_size, std::uint32_t slots = 16)
      : bytes(nqring::RingBytes(data_size, slots)),
        mem(mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS, -1, 0)) {
    ok = mem != MAP_FAILED && ring.Format(mem, bytes, data_size, slots);
  }
  ~SharedRing() {
    if (mem != MAP_FAILED) munmap(mem, bytes);
  }
  std::size_t bytes;
  void *mem;
  nqring::Ring ring;
  bool ok = false;
};

struct Taken {
  std::vector<std::string> texts;
  std::vector<std::uint32_t> pids;
};

void Keep(void *context, std::uint32_t pid, const char *text, std::size_t n) {
  auto *taken = static_cast<Taken *>(context);
  taken->texts.emplace_back(text, n);
  taken->pids.push_back(pid);
}

bool AlwaysGone(std::uint32_t, std::uint32_t) { return false; }
bool AlwaysRuns(std::uint32_t, std::uint32_t) { return true; }

std::uint32_t g_gone_pid = 0;  // the one process FakeAlive says is gone
bool FakeAlive(std::uint32_t pid, std::uint32_t) { return pid != g_gone_pid; }

// A test on a ring of 4 KiB, the smallest, made whole before it runs.
class RecordRing4K : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(s.ok); }
  SharedRing s{4096};
};

TEST(RecordRing, LayoutsItTakesAndRefuses) {
  const struct {
    std::uint32_t data_size, slots;
    long bytes_delta;
    bool ok;
  } rows[] = {
      {4096, 1, 0, true},   {1 << 20, 64, 0, true}, {2048, 4, 0, false},
      {6000, 4, 0, false},  {4096, 0, 0, false},    {4096, 4, 8, false},
      {4096, 4, -8, false},
  };
  for (const auto &r : rows) {
    const std::size_t bytes = nqring::RingBytes(r.data_size, r.slots) +
                              static_cast<std::size_t>(r.bytes_delta);
    std::vector<char> mem(bytes + 64, 0);
    void *aligned =
        mem.data() +
        (64 - reinterpret_cast<std::uintptr_t>(mem.data()) % 64) % 64;
    nqring::Ring ring;
    EXPECT_EQ(ring.Format(aligned, bytes, r.data_size, r.slots), r.ok)
        << r.data_size << " " << r.slots << " " << r.bytes_delta;
    nqring::Ring other;
    EXPECT_EQ(other.Open(aligned, bytes), r.ok);
    if (r.ok) {
      EXPECT_FALSE(other.Open(aligned, bytes - 8));
    }
  }
}

// Records of every length up to a quarter of the ring, many laps over:
// each comes out once, whole, in order; one larger is refused, and a ring
// the reader does not empty says it is full.
TEST_F(RecordRing4K, RecordsComeOutInOrderLapAfterLap) {
  nqring::WriterState w;
  nqring::RingReader reader;
  Taken taken;
  std::vector<std::string> put;
  for (int i = 0; i < 3000; ++i) {
    std::string text =
        std::to_string(i) + ":" + std::string(i % 1000, 'a' + i % 26);
    if (nqring::RecordSize(text.size()) > 1024) text.resize(1024 - 16);
    ASSERT_EQ(nqring::Put(s.ring, w, Pid(), Tid(), text.data(), text.size()),
              PutResult::kPut)
        << i;
    put.push_back(text);
    if (i % 3 == 2) reader.Drain(s.ring, Keep, &taken, 1);
  }
  reader.Drain(s.ring, Keep, &taken, 1);
  EXPECT_EQ(taken.texts, put);
  EXPECT_GT(s.ring.control()->released.load(), 100u * 4096);  // many laps
  EXPECT_EQ(s.ring.control()->lost.load(), 0u);

  const std::string big(1024 - 16 + 1, 'b');
  EXPECT_EQ(nqring::Put(s.ring, w, Pid(), Tid(), big.data(), big.size()),
            PutResult::kTooBig);
  // A fresh ring holds 18 records of 216 bytes; the 19th would need the
  // room of a skip to the end as well.
  SharedRing fresh(4096);
  ASSERT_TRUE(fresh.ok);
  nqring::WriterState f;
  const std::string line(200, 'c');
  int stored = 0;
  while (nqring::Put(fresh.ring, f, Pid(), Tid(), line.data(), line.size()) ==
         PutResult::kPut)
    ++stored;
  EXPECT_EQ(stored, 18);
  taken.texts.clear();
  EXPECT_EQ(reader.Drain(fresh.ring, Keep, &taken, 2), 18u);
  EXPECT_EQ(nqring::Put(fresh.ring, f, Pid(), Tid(), line.data(), line.size()),
            PutResult::kPut);
}

// Every thread takes a slot of its own; none left, a thread is told so.
TEST(RecordRing, ThreadsPastTheSlotsAreToldSo) {
  SharedRing s(4096, 2);
  ASSERT_TRUE(s.ok);
  nqring::WriterState a, b, c;
  EXPECT_EQ(nqring::Put(s.ring, a, Pid(), 101, "a", 1), PutResult::kPut);
  EXPECT_EQ(nqring::Put(s.ring, b, Pid(), 102, "b", 1), PutResult::kPut);
  EXPECT_EQ(nqring::Put(s.ring, c, Pid(), 103, "c", 1), PutResult::kNoSlot);
  // Threads 101 and 102 are gone: their slots are swept for the next one.
  nqring::RingReader reader(AlwaysGone);
  reader.SweepSlots(s.ring);
  EXPECT_EQ(nqring::Put(s.ring, c, Pid(), 103, "c", 1), PutResult::kPut);
  // A place taken over from a parent process is another thread's: the
  // child's first record claims its own.
  nqring::WriterState inherited = c;
  EXPECT_EQ(nqring::Put(s.ring, inherited, Pid(), 104, "d", 1),
            PutResult::kPut);
  EXPECT_NE(inherited.slot, c.slot);
  Taken taken;
  reader.Drain(s.ring, Keep, &taken, 1);
  EXPECT_EQ(taken.texts, (std::vector<std::string>{"a", "b", "c", "d"}));
}

// Writers in threads and in processes at once, a reader draining as they
// go: each writer's records all come out, in its order.
TEST(RecordRing, ThreadsAndProcessesWriteAtOnce) {
  SharedRing s(1 << 16, 64);
  ASSERT_TRUE(s.ok);
  constexpr int kRecords = 20000, kThreads = 4, kChildren = 3;
  auto write_all = [&s](int writer) {
    nqring::WriterState w;
    for (int i = 0; i < kRecords; ++i) {
      char text[32];
      const int n = std::snprintf(text, sizeof text, "%d %d", writer, i);
      while (nqring::Put(s.ring, w, Pid(), Tid(), text,
                         static_cast<std::size_t>(n)) == PutResult::kFull)
        std::this_thread::yield();
    }
  };
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    if (pid == 0) {
      write_all(kThreads + c);
      _exit(0);
    }
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(write_all, t);

  nqring::RingReader reader;
  Taken taken;
  const std::size_t total = kRecords * (kThreads + kChildren);
  while (taken.texts.size() < total) {
    if (reader.Drain(s.ring, Keep, &taken, 1) == 0) std::this_thread::yield();
  }
  for (std::thread &t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
  }
  std::vector<int> next(kThreads + kChildren, 0);
  std::size_t out_of_order = 0;
  for (const std::string &text : taken.texts) {
    int writer = -1, i = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "%d %d", &writer, &i), 2) << text;
    out_of_order += next[static_cast<std::size_t>(writer)]++ != i;
  }
  EXPECT_EQ(out_of_order, 0u);
  EXPECT_EQ(s.ring.control()->lost.load(), 0u);
}

// A writer killed at each step of its record: the record is left out whole
// and counted, and the records after it come out. The killed process is
// not reaped yet when the reader looks: its thread still answers, as a
// zombie, and is known gone by its state.
TEST(RecordRing, AKilledWriterHoldsUpNothing) {
  enum Step { kReserved, kAnnounced, kReserving };
  for (Step step : {kReserved, kAnnounced, kReserving}) {
    SCOPED_TRACE(step);
    SharedRing s(4096);
    ASSERT_TRUE(s.ok);
    nqring::WriterState first;
    ASSERT_EQ(nqring::Put(s.ring, first, Pid(), Tid(), "before", 6),
              PutResult::kPut);
    const pid_t pid = fork();
    if (pid == 0) {
      nqring::WriterState w;
      nqring::Reservation r;
      nqring::Reserve(s.ring, w, Pid(), Tid(), 100, r);
      std::memset(r.text, 'x', 50);  // half its text
      nqring::WriterSlot &slot = s.ring.slots()[w.slot];
      if (step == kAnnounced) {
        // Gone after taking the room and saying where, before any header.
        std::memset(r.text - 16, 0, 16);
      } else if (step == kReserving) {
        // Gone after taking the room, before saying where.
        std::memset(r.text - 16, 0, 16);
        slot.at.store(nqring::kReserving);
      }
      raise(SIGKILL);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), nullptr, WEXITED | WNOWAIT),
              0);
    nqring::WriterState after;
    ASSERT_EQ(nqring::Put(s.ring, after, Pid(), Tid(), "after", 5),
              PutResult::kPut);
    nqring::RingReader reader;
    Taken taken;
    const std::int64_t t0 = 1000;
    reader.Drain(s.ring, Keep, &taken, t0);
    if (step == kReserving) {
      // Nobody has said where: the reader waits a while for a writer that
      // runs, then gives the room to the one that is gone.
      EXPECT_EQ(taken.texts, std::vector<std::string>{"before"});
      reader.Drain(s.ring, Keep, &taken,
                   t0 + nqring::RingReader::kReserveGraceNs - 1);
      EXPECT_EQ(taken.texts.size(), 1u);
      reader.Drain(s.ring, Keep, &taken,
                   t0 + nqring::RingReader::kReserveGraceNs);
    }
    EXPECT_EQ(taken.texts, (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(s.ring.control()->lost.load(), 1u);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
  }
}

// A writer that runs is waited for, however long it takes.
TEST_F(RecordRing4K, ARecordBeingWrittenIsWaitedFor) {
  nqring::WriterState w, other;
  nqring::Reservation r;
  ASSERT_EQ(nqring::Reserve(s.ring, w, Pid(), Tid(), 4, r), PutResult::kPut);
  ASSERT_EQ(nqring::Put(s.ring, other, Pid(), Tid() + 1, "next", 4),
            PutResult::kPut);
  nqring::RingReader reader;
  Taken taken;
  EXPECT_EQ(reader.Drain(s.ring, Keep, &taken, 1), 0u);
  EXPECT_EQ(reader.Drain(s.ring, Keep, &taken, 10'000'000'000), 0u);
  std::memcpy(r.text, "mine", 4);
  nqring::Commit(s.ring, w, r);
  reader.Drain(s.ring, Keep, &taken, 10'000'000'001);
  EXPECT_EQ(taken.texts, (std::vector<std::string>{"mine", "next"}));
  EXPECT_EQ(taken.pids, (std::vector<std::uint32_t>{Pid(), Pid()}));
}

// The room of a pass is given back only after its records are written: a
// reader killed before then leaves them to the one that takes its place.
TEST_F(RecordRing4K, RoomComesBackOnlyAfterThePassIsWritten) {
  nqring::WriterState w;
  for (const char *text : {"one", "two"})
    ASSERT_EQ(nqring::Put(s.ring, w, Pid(), Tid(), text, 3), PutResult::kPut);
  static std::uint64_t released_at_flush;
  static const nqring::Ring *ring;
  ring = &s.ring;
  released_at_flush = 99;
  nqring::RingReader reader;
  Taken taken;
  reader.Drain(s.ring, Keep, &taken, 1, [](void *) {
    released_at_flush = ring->control()->released.load();
  });
  EXPECT_EQ(released_at_flush, 0u);
  EXPECT_EQ(s.ring.control()->released.load(), 2 * nqring::RecordSize(3));
  EXPECT_EQ(taken.texts, (std::vector<std::string>{"one", "two"}));
}

// The reader ending: a record being written is waited for and then taken;
// after it nothing more goes in; a writer that never finishes is waited
// for only so long.
TEST_F(RecordRing4K, AClosedRingKeepsWhatIsBeingWrittenAndTakesNoMore) {
  std::atomic<bool> reserved{false};
  std::thread writer([this, &reserved] {
    nqring::WriterState w;
    nqring::Reservation r;
    ASSERT_EQ(nqring::Reserve(s.ring, w, Pid(), Tid(), 4, r), PutResult::kPut);
    reserved = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::memcpy(r.text, "late", 4);
    nqring::Commit(s.ring, w, r);
  });
  while (!reserved) std::this_thread::yield();
  EXPECT_TRUE(nqring::CloseRing(s.ring, nqring::ThreadRuns, 10'000'000'000));
  nqring::RingReader reader;
  Taken taken;
  reader.Drain(s.ring, Keep, &taken, 1);
  EXPECT_EQ(taken.texts, std::vector<std::string>{"late"});
  writer.join();
  nqring::WriterState w;
  EXPECT_EQ(nqring::Put(s.ring, w, Pid(), Tid(), "x", 1), PutResult::kClosed);

  SharedRing stuck(4096);
  ASSERT_TRUE(stuck.ok);
  nqring::Reservation r;
  ASSERT_EQ(nqring::Reserve(stuck.ring, w, Pid(), Tid(), 4, r),
            PutResult::kPut);
  EXPECT_FALSE(nqring::CloseRing(stuck.ring, AlwaysRuns, 5'000'000));
  EXPECT_TRUE(nqring::CloseRing(stuck.ring, AlwaysGone, 0));
}

// One reader at a time: a traced process takes over only from a reader
// that is gone.
TEST_F(RecordRing4K, AReaderIsTakenOverOnlyWhenGone) {
  g_gone_pid = 0;
  EXPECT_TRUE(nqring::TakeReader(s.ring, 100, FakeAlive));
  EXPECT_FALSE(nqring::TakeReader(s.ring, 200, FakeAlive));
  EXPECT_TRUE(nqring::TakeReader(s.ring, 100, FakeAlive));
  g_gone_pid = 100;
  EXPECT_TRUE(nqring::TakeReader(s.ring, 200, FakeAlive));
  EXPECT_FALSE(nqring::TakeReader(s.ring, 300, FakeAlive));
  EXPECT_EQ(s.ring.control()->reader_pid.load(), 200u);
}

// A reader killed between writing a pass and giving its room back, while
// it cleared it: the next reader finishes the release rather than wait on
// the cleared headers, and takes what came after.
TEST_F(RecordRing4K, AReleaseCutShortIsFinishedByTheNextReader) {
  nqring::WriterState w;
  for (const char *text : {"one", "two"})
    ASSERT_EQ(nqring::Put(s.ring, w, Pid(), Tid(), text, 3), PutResult::kPut);
  g_gone_pid = 100;
  ASSERT_TRUE(nqring::TakeReader(s.ring, 100, FakeAlive));
  nqring::RingControl *c = s.ring.control();
  c->releasing.store(c->reserved.load());
  memset(s.ring.data(), 0, nqring::RecordSize(3));  // cleared in part
  ASSERT_EQ(nqring::Put(s.ring, w, Pid(), Tid(), "three", 5), PutResult::kPut);
  ASSERT_TRUE(nqring::TakeReader(s.ring, 200, FakeAlive));
  nqring::RingReader reader(AlwaysRuns);
  Taken taken;
  reader.Drain(s.ring, Keep, &taken, 1);
  EXPECT_EQ(taken.texts, (std::vector<std::string>{"three"}));
}

}  // namespace
