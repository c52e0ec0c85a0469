// The ring of records on Windows: whether a writer is still there; a
// writer thread ended half-way through its record, which the reader must
// leave out whole without waiting for it; and a traced process taking
// over from a launcher killed in the middle of a pass.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entries/ring_records_win32.h"
#include "records_share.h"
#include "trace_env.h"
#include "written_parts.h"

namespace {

DWORD WINAPI ReturnAtOnce(void *) { return 0; }

struct Ended {
  HANDLE handle;  // kept open, so that its id is not given out again
  DWORD id;
};

Ended EndedThread() {
  Ended t;
  t.handle = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, &t.id);
  WaitForSingleObject(t.handle, INFINITE);
  return t;
}

TEST(RingOnWindows, TellsWhichWritersRun) {
  const DWORD pid = GetCurrentProcessId();
  const Ended ended = EndedThread();
  const struct {
    std::uint32_t pid, tid;
    bool runs;
  } kCases[] = {
      {pid, GetCurrentThreadId(), true},              // this thread
      {pid, pid, true},                               // this process
      {pid, ended.id, false},                         // a thread that returned
      {pid + 0x100000, GetCurrentThreadId(), false},  // another process's
      {0xFFFFFFF0u, 0xFFFFFFF0u, false},              // no such process
  };
  for (const auto &c : kCases)
    EXPECT_EQ(nqring::ThreadRuns(c.pid, c.tid), c.runs)
        << c.pid << " " << c.tid;
  CloseHandle(ended.handle);
}

struct HalfWriter {
  nqring::Ring *ring;
  HANDLE reserved;  // set once its record is reserved, never committed
};

DWORD WINAPI ReserveAndStall(void *arg) {
  auto *w = static_cast<HalfWriter *>(arg);
  nqring::WriterState state;
  nqring::Reservation r;
  if (nqring::Reserve(*w->ring, state, GetCurrentProcessId(),
                      GetCurrentThreadId(), 4, r) == nqring::PutResult::kPut)
    memcpy(r.text, "ha", 2);
  SetEvent(w->reserved);
  Sleep(INFINITE);
  return 0;
}

void Keep(void *context, std::uint32_t, const char *text, std::size_t n) {
  static_cast<std::vector<std::string> *>(context)->emplace_back(text, n);
}

// A thread ended by TerminateThread (as TerminateProcess ends them all)
// while it writes: the records after its own are held up only while it
// runs, then come out, and its own is counted lost.
TEST(RingOnWindows, AWriterEndedHalfWayHoldsUpNothing) {
  const std::size_t bytes = nqring::RingBytes(4096, 4);
  void *mem = VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
  nqring::Ring ring;
  ASSERT_TRUE(ring.Format(mem, bytes, 4096, 4));
  HalfWriter w = {&ring, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HANDLE writer = CreateThread(nullptr, 0, ReserveAndStall, &w, 0, nullptr);
  WaitForSingleObject(w.reserved, INFINITE);
  nqring::WriterState own;
  ASSERT_EQ(nqring::Put(ring, own, GetCurrentProcessId(), GetCurrentThreadId(),
                        "after", 5),
            nqring::PutResult::kPut);
  nqring::RingReader reader;
  std::vector<std::string> taken;
  EXPECT_EQ(reader.Drain(ring, Keep, &taken, 1), 0u);
  TerminateThread(writer, 9);
  WaitForSingleObject(writer, INFINITE);
  EXPECT_EQ(reader.Drain(ring, Keep, &taken, 2), 1u);
  EXPECT_EQ(taken, std::vector<std::string>{"after"});
  EXPECT_EQ(ring.control()->lost.load(), 1u);
  CloseHandle(writer);
  CloseHandle(w.reserved);
  VirtualFree(mem, 0, MEM_RELEASE);
}

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// The launcher, tracing each process to a file of its own, was killed
// after appending two of the three records it had taken: the process,
// waiting for its end, writes the third at once, not the two again, and
// appends its later records itself. The launcher here is a process
// started suspended and ended.
TEST(RingOnWindows, ATakeOverWritesWhatTheKilledLaunchersPassLacks) {
  char dir[MAX_PATH];
  ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
  const std::string base = std::string(dir) + "nq-takeover.log";
  const std::string trace = base + "." + std::to_string(GetCurrentProcessId());
  const std::string before = "before\n";
  std::ofstream(trace, std::ios::binary) << before << "one\ntwo\n";

  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION launcher;
  ASSERT_TRUE(CreateProcessW(self, nullptr, nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED, nullptr, nullptr, &startup,
                             &launcher));

  const char kName[] = "Local\\NetQuillRecords-takeover-test";
  const std::size_t bytes = nqring::ShareBytes();
  HANDLE section =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                         static_cast<DWORD>(bytes), kName);
  ASSERT_NE(section, nullptr);
  auto *share = static_cast<nqring::RecordsShare *>(
      MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, bytes));
  ASSERT_NE(share, nullptr);
  nqring::Ring ring;
  ASSERT_TRUE(ring.Format(nqring::RingOf(share), bytes - sizeof *share,
                          nqring::kShareRingBytes, nqring::kShareWriters));
  ring.control()->reader_pid.store(launcher.dwProcessId);
  ring.control()->reader_beat_ns.store(0);  // its last pass long ago
  memcpy(share->path, base.c_str(), base.size() + 1);
  share->per_process = 1;
  nqring::NoteWrite(*share, ring, GetCurrentProcessId(), before.size(), 8);
  memcpy(share->magic, nqring::kShareMagic, sizeof share->magic);
  nqring::WriterState w;
  for (const char *text : {"one\n", "two\n", "three\n"})
    ASSERT_EQ(nqring::Put(ring, w, GetCurrentProcessId(), GetCurrentThreadId(),
                          text, strlen(text)),
              nqring::PutResult::kPut);

  SetEnvironmentVariableA(nqdrop::kRecordsSectionVariable, kName);
  ASSERT_TRUE(nq::ShareRecordsFromEnvironment(trace.c_str()));
  SetEnvironmentVariableA(nqdrop::kRecordsSectionVariable, nullptr);
  TerminateProcess(launcher.hProcess, 9);
  WaitForSingleObject(launcher.hProcess, INFINITE);
  const std::string taken_over = before + "one\ntwo\nthree\n";
  for (int ms = 0; ms < 10000 && ReadAll(trace) != taken_over; ms += 10)
    Sleep(10);
  EXPECT_EQ(ReadAll(trace), taken_over);
  EXPECT_FALSE(nq::PutInRing(trace.c_str(), "four\n", 5));  // its own now

  CloseHandle(launcher.hProcess);
  CloseHandle(launcher.hThread);
  UnmapViewOfFile(share);
  CloseHandle(section);
  DeleteFileA(trace.c_str());
}

}  // namespace
