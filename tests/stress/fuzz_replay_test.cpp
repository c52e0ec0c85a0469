// The fuzzers' seed corpora, the inputs of every fault they found among
// them, run through the same targets as part of the normal tests, on every
// platform and without libFuzzer. A target that meets a fault reports it
// and aborts.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int NqFuzzWrite(const uint8_t *data, size_t size);
extern "C" int NqFuzzFormatters(const uint8_t *data, size_t size);
extern "C" int NqFuzzHooks(const uint8_t *data, size_t size);

namespace {

namespace fs = std::filesystem;

// Runs every file under corpus/<name>; returns how many there were.
int Replay(const char *name, int (*entry)(const uint8_t *, size_t)) {
  fs::path dir = fs::path(NQ_FUZZ_DIR) / "corpus" / name;
  std::vector<fs::path> files;
  for (const auto &entry : fs::directory_iterator(dir))
    files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path &file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    SCOPED_TRACE(file.string());
    entry(bytes.data(), bytes.size());
  }
  return static_cast<int>(files.size());
}

TEST(FuzzReplay, Writer) { EXPECT_GT(Replay("write", NqFuzzWrite), 0); }

TEST(FuzzReplay, Formatters) {
  EXPECT_GT(Replay("formatters", NqFuzzFormatters), 0);
}

TEST(FuzzReplay, Hooks) { EXPECT_GT(Replay("hooks", NqFuzzHooks), 0); }

}  // namespace
