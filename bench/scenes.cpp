#include "scenes.h"
#include "bench_os.h"

#include <string.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace nqb {
namespace {

struct sockaddr_in MakeAddress() {
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  const unsigned char port[2] = {0, 80};
  const unsigned char ip[4] = {10, 1, 2, 3};
  memcpy(&a.sin_port, port, 2);
  memcpy(&a.sin_addr, ip, 4);
  return a;
}

const struct sockaddr_in g_address_in = MakeAddress();

// A mix of text and binary, so the dump's character column takes both
// paths; fixed seed, so every run dumps the same bytes.
unsigned char *MakeReceive() {
  static unsigned char buf[kDumpBytes];
  std::mt19937 rng(42);
  for (size_t i = 0; i < kDumpBytes; ++i) {
    buf[i] = (i % 3 == 0) ? static_cast<unsigned char>(rng())
                          : static_cast<unsigned char>('a' + i % 26);
  }
  return buf;
}

std::string g_dir;

std::string ReadTail(const std::string &path, long long from) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(from);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// Runs op once on a fresh trace with flags and returns what it appended.
template <typename Op>
std::string Capture(uint32_t flags, Op op) {
  std::string file = BenchFile("capture.log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), flags);
  long long before = SizeOf(file);
  op();
  std::string bytes = ReadTail(file, before);
  WSADisableTrace();
  return bytes;
}

std::mutex g_bystander_mutex;
std::condition_variable g_bystander_cv;
bool g_bystander_ready, g_bystander_stop;
std::thread g_bystander;

}  // namespace

const struct sockaddr *const g_address =
    reinterpret_cast<const struct sockaddr *>(&g_address_in);
NQ_IOBUF *const g_receive =
    static_cast<NQ_IOBUF *>(static_cast<void *>(MakeReceive()));

unsigned Arithmetic(unsigned seed) {
  unsigned y = seed;
  for (int i = 0; i < 4000; ++i) {
    y = y * 3 + static_cast<unsigned>(i);
    // Kept from being folded away; no memory is touched.
    __asm__ __volatile__("" : "+r"(y));
  }
  return y;
}

void InstallErrorBridge() {
  TraceErrorHooks hooks = {CallerCode, SetCallerCode};
  WSASetupTrace(&hooks);
}

void SetCallerError(int code) { SetCallerCode(code); }

const std::string &BenchDir() {
  if (g_dir.empty()) {
    std::random_device rd;
    fs::path base = fs::temp_directory_path();
    for (;;) {
      fs::path dir = base / ("nq-bench-" + std::to_string(rd() % 1000000));
      if (fs::create_directory(dir)) {
        g_dir = dir.string();
        break;
      }
    }
  }
  return g_dir;
}

std::string BenchFile(const std::string &name) {
  return (fs::path(BenchDir()) / name).string();
}

void RemoveBenchDir() {
  if (g_dir.empty()) return;
  std::error_code ec;
  fs::remove_all(g_dir, ec);
  g_dir.clear();
}

void Truncate(const std::string &path) {
  std::ofstream(path, std::ios::binary | std::ios::trunc);
}

long long SizeOf(const std::string &path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? -1 : static_cast<long long>(n);
}

std::string CaptureConnectRecord() {
  // Set just before the call: the file calls around it may change the code.
  return Capture(0, [] {
    SetCallerError(kRefused);
    HookConnect(-1);
  });
}

std::string CaptureDumpRecord() {
  return Capture(TRACE_FLAG_DUMP, [] { HookRecv64K(); });
}

void StartBystander() {
  g_bystander_ready = g_bystander_stop = false;
  g_bystander = std::thread([] {
    std::string file = BenchFile("bystander.log");
    WSAEnableTrace(file.c_str(), 0);
    std::unique_lock<std::mutex> lock(g_bystander_mutex);
    g_bystander_ready = true;
    g_bystander_cv.notify_all();
    g_bystander_cv.wait(lock, [] { return g_bystander_stop; });
    WSADisableTrace();
  });
  std::unique_lock<std::mutex> lock(g_bystander_mutex);
  g_bystander_cv.wait(lock, [] { return g_bystander_ready; });
}

void StopBystander() {
  {
    std::lock_guard<std::mutex> lock(g_bystander_mutex);
    g_bystander_stop = true;
  }
  g_bystander_cv.notify_all();
  g_bystander.join();
}

}  // namespace nqb
