#include "support/test_env.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "control/version.h"
#include "output/format.h"

namespace fs = std::filesystem;

namespace nqtest {

std::atomic<uint32_t> Fakes::tick{1000};
nq::LocalTime Fakes::clock{2026, 12, 7, 14, 5, 9};
std::string Fakes::module_file;
uintptr_t Fakes::main_module = 1;
std::string Fakes::temp_dir;
std::atomic<int> Fakes::fail_appends{0};
std::atomic<int> Fakes::appends{0};
std::atomic<int> Fakes::zone_refreshes{0};

namespace {

uint32_t FakeTick() { return Fakes::tick.load(); }

void FakeLocalTime(nq::LocalTime *out, int refresh_zone) {
  if (refresh_zone) Fakes::zone_refreshes++;
  *out = Fakes::clock;
}

uintptr_t FakeMainModule() { return Fakes::main_module; }

size_t FakeModuleFileName(uintptr_t, char *buf, size_t size) {
  const std::string &name = Fakes::module_file;
  if (name.empty() || name.size() + 1 > size) {
    if (size) buf[0] = '\0';
    return 0;
  }
  memcpy(buf, name.c_str(), name.size() + 1);
  return name.size();
}

size_t FakeTempDir(char *buf, size_t size) {
  const std::string &dir = Fakes::temp_dir;
  if (dir.empty() || dir.size() + 1 > size) {
    if (size) buf[0] = '\0';
    return 0;
  }
  memcpy(buf, dir.c_str(), dir.size() + 1);
  return dir.size();
}

int FakeAppend(const char *path, const void *data, size_t size) {
  Fakes::appends++;
  if (Fakes::fail_appends.load() > 0) {
    Fakes::fail_appends--;
    return 0;
  }
  return nq::NativeOsServices().append(path, data, size);
}

int FakeAppendOwned(const char *path, const void *data, size_t size) {
  Fakes::appends++;
  if (Fakes::fail_appends.load() > 0) {
    Fakes::fail_appends--;
    return 0;
  }
  return nq::NativeOsServices().append_owned(path, data, size);
}

}  // namespace

void TraceTest::SetUp() {
  DisableFully();
  dir_ = MakeScratchDir(
      ::testing::UnitTest::GetInstance()->current_test_info()->name());
  Fakes::tick = 1000;
  Fakes::clock = nq::LocalTime{2026, 12, 7, 14, 5, 9};
  Fakes::module_file = std::string("apps") + nq::kPathSeparator + "MyApp.exe";
  Fakes::main_module = 1;
  Fakes::temp_dir = dir_ + nq::kPathSeparator;
  Fakes::fail_appends = 0;
  Fakes::appends = 0;
  Fakes::zone_refreshes = 0;
  nq::g_os = nq::NativeOsServices();
  nq::g_os.tick_ms = FakeTick;
  nq::g_os.local_time = FakeLocalTime;
  nq::g_os.main_module = FakeMainModule;
  nq::g_os.module_file_name = FakeModuleFileName;
  nq::g_os.temp_dir = FakeTempDir;
  nq::g_os.append = FakeAppend;
  nq::g_os.append_owned = FakeAppendOwned;
}

void TraceTest::TearDown() {
  DisableFully();
  nq::g_os = nq::NativeOsServices();
  RemoveTree(dir_);
}

std::string TraceTest::Path(const std::string &name) const {
  return dir_ + nq::kPathSeparator + name;
}

std::string TraceTest::Read(const std::string &path) { return ReadFile(path); }

std::vector<std::string> TraceTest::Lines(const std::string &path) {
  return ReadLines(path);
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> ReadLines(const std::string &path) {
  std::string text = ReadFile(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated last line: " << text.substr(start);
      break;
    }
    std::string line = text.substr(start, end - start);
    EXPECT_EQ(line.find('\n'), std::string::npos) << "bare LF in: " << line;
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

bool TraceTest::Exists(const std::string &path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

void DisableFully() {
  while (WSADisableTrace()) {
  }
}

std::string MakeScratchDir(const std::string &tag) {
  static std::atomic<int> counter{0};
  fs::path dir = fs::temp_directory_path() /
                 ("nqtest-" + std::to_string(counter++) + "-" + tag);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  std::string s = dir.string();
  while (!s.empty() && (s.back() == '/' || s.back() == '\\')) s.pop_back();
  return s;
}

void RemoveTree(const std::string &dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

std::string TagAndText(const std::string &line) {
  // module, space, six clock digits, space, elapsed digits, space
  size_t first = line.find(' ');
  if (first == std::string::npos) return "";
  size_t second = line.find(' ', first + 1);
  if (second == std::string::npos) return "";
  size_t third = line.find(' ', second + 1);
  if (third == std::string::npos) return "";
  return line.substr(third + 1);
}

int EntriesTest::code;

namespace {
int NQ_CALL GetEntriesCode() { return EntriesTest::code; }
void NQ_CALL SetEntriesCode(int c) { EntriesTest::code = c; }
}  // namespace

void EntriesTest::SetUp() {
  TraceTest::SetUp();
  TraceErrorHooks hooks = {GetEntriesCode, SetEntriesCode};
  WSASetupTrace(&hooks);
  code = 0;
  file_ = Path("entries.log");
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP), 1);
}

void EntriesTest::TearDown() {
  DisableFully();
  TraceTest::TearDown();
}

std::vector<std::string> EntriesTest::Records() {
  std::vector<std::string> out;
  auto lines = Lines(file_);
  for (size_t i = 1; i < lines.size(); ++i)
    out.push_back(lines[i][0] == ' ' ? lines[i] : TagAndText(lines[i]));
  return out;
}

std::string Hex(const void *p) {
  char buf[32];
  nq::Format(buf, sizeof buf, "0x%zx", reinterpret_cast<size_t>(p));
  return buf;
}

std::string StartBanner(uint32_t thread_id, const std::string &when) {
  char buf[128];
  nq::Format(buf, sizeof buf,
             "INF: started process 0x%lX trace on %s [%d.%d.%d]",
             static_cast<unsigned long>(thread_id), when.c_str(),
             NQ_VERSION_MAJOR, NQ_VERSION_MINOR, NQ_VERSION_BUILD);
  return buf;
}

std::string StopBanner(uint32_t thread_id, const std::string &when) {
  char buf[128];
  nq::Format(buf, sizeof buf, "INF: stopped process 0x%lX trace on %s",
             static_cast<unsigned long>(thread_id), when.c_str());
  return buf;
}

}  // namespace nqtest
