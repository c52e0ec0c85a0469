// netquill-run: runs a program with its socket calls traced by NETQUILL,
// without changing or rebuilding it.
//
//   netquill-run [-o FILE] [-f FLAGS] [--] PROGRAM [ARGS...]
//
// The program is executed with the interposer preloaded (LD_PRELOAD) and
// the settings in its environment, so its children inherit both and append
// to the same file.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "program_check.h"
#include "trace_env.h"

#ifndef NQ_PRELOAD_NAME
#error "NQ_PRELOAD_NAME names the interposer"
#endif
#ifndef NQ_PRELOAD_FROM_BIN
#error "NQ_PRELOAD_FROM_BIN is the installed interposer's path from bin"
#endif

namespace nqrun {
namespace {

void Usage(FILE *out) {
  fprintf(out,
          "usage: netquill-run [-o FILE] [-f FLAGS] [--] PROGRAM [ARGS...]\n"
          "  -o FILE   trace file (default: NETQUILL_FILE, else NQSPOOL.LOG\n"
          "            in the temporary directory)\n"
          "  -f FLAGS  trace flags, decimal or 0x hex: 1 errors only,\n"
          "            2 errors and warnings, 4 hex dumps of the data\n");
}

bool Exists(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

// The interposer beside this program (a build tree), else where the install
// puts it relative to the program's directory.
std::string FindPreload() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  self[n] = '\0';
  std::string dir(self, static_cast<size_t>(strrchr(self, '/') - self));
  std::string beside = dir + "/" + NQ_PRELOAD_NAME;
  if (Exists(beside)) return beside;
  std::string installed = dir + "/" + NQ_PRELOAD_FROM_BIN;
  if (Exists(installed)) return installed;
  return std::string();
}

// Children may change directory before they trace: the path is made
// absolute here, once.
std::string Absolute(const char *path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

int Run(int argc, char **argv) {
  const char *file = nullptr;
  const char *flags = nullptr;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    }
    if ((arg == "-o" || arg == "-f") && i + 1 < argc) {
      (arg == "-o" ? file : flags) = argv[++i];
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      fprintf(stderr, "netquill-run: unknown option %s\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
    break;
  }
  if (i >= argc) {
    Usage(stderr);
    return 2;
  }
  uint32_t value = 0;
  if (flags != nullptr && !nqdrop::ParseFlags(flags, &value)) {
    fprintf(stderr, "netquill-run: bad flags %s (decimal or 0x hex)\n", flags);
    return 2;
  }
  if (file != nullptr && file[0] == '\0') {
    fprintf(stderr, "netquill-run: -o needs a file name\n");
    return 2;
  }
  std::string preload = FindPreload();
  if (preload.empty()) {
    fprintf(stderr, "netquill-run: cannot find %s\n", NQ_PRELOAD_NAME);
    return 127;
  }

  const char *inherited = file != nullptr ? file : getenv("NETQUILL_FILE");
  if (inherited != nullptr && inherited[0] != '\0')
    setenv("NETQUILL_FILE", Absolute(inherited).c_str(), 1);
  if (flags != nullptr) setenv("NETQUILL_FLAGS", flags, 1);
  // Ahead of whatever the caller preloads, so the program's calls reach
  // this interposer first.
  const char *others = getenv("LD_PRELOAD");
  if (others != nullptr && others[0] != '\0')
    preload += ":" + std::string(others);
  setenv("LD_PRELOAD", preload.c_str(), 1);

  // Run all the same: the user sees the program's own behaviour, untraced.
  const char *why = WhyUntraced(argv[i]);
  if (why != nullptr)
    fprintf(stderr, "netquill-run: %s %s; it runs untraced\n", argv[i], why);

  execvp(argv[i], argv + i);
  int error = errno;
  fprintf(stderr, "netquill-run: cannot run %s: %s\n", argv[i],
          strerror(error));
  return error == ENOENT ? 127 : 126;
}

}  // namespace
}  // namespace nqrun

int main(int argc, char **argv) { return nqrun::Run(argc, argv); }
