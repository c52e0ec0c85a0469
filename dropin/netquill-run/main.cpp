// netquill-run: runs a program with its socket calls traced by NETQUILL,
// without changing or rebuilding it.
//
//   netquill-run [-o FILE] [-f FLAGS] [-ff] [--] PROGRAM [ARGS...]
//
// The program is executed with the interposer preloaded (LD_PRELOAD) and
// the settings in its environment, so its children inherit both and append
// to the same file (or, with -ff, each to a file of its own). The launcher
// stands between the user and every traced program's start: it links
// against the C library only and does little more than set the
// environment before its exec.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "program_check.h"
#include "trace_env.h"

#ifndef NQ_PRELOAD_NAME
#error "NQ_PRELOAD_NAME names the interposer"
#endif
#ifndef NQ_PRELOAD_FROM_BIN
#error "NQ_PRELOAD_FROM_BIN is the installed interposer's path from bin"
#endif
#if !defined(NQ_PRELOAD_FROM_BUILD) || !defined(NQ_LIBRARY_SONAME)
#error "NQ_PRELOAD_FROM_BUILD and NQ_LIBRARY_SONAME come from the build"
#endif

namespace nqrun {
namespace {

void Usage(FILE *out) {
  fprintf(out,
          "usage: netquill-run [-o FILE] [-f FLAGS] [-ff] [--] PROGRAM "
          "[ARGS...]\n"
          "  -o FILE   trace file (default: NETQUILL_FILE, else NQSPOOL.LOG\n"
          "            in the temporary directory)\n"
          "  -f FLAGS  trace flags, decimal or 0x hex: 1 errors only,\n"
          "            2 errors and warnings, 4 hex dumps of the data\n"
          "  -ff       one file per process: FILE followed by .PID\n");
}

// dir/name into out (PATH_MAX bytes) when it fits and can be read.
bool Beside(char *out, const char *dir, size_t dir_len, const char *name) {
  int n =
      snprintf(out, PATH_MAX, "%.*s/%s", static_cast<int>(dir_len), dir, name);
  return n > 0 && n < PATH_MAX && access(out, R_OK) == 0;
}

// The interposer beside this program, else where the install or the build
// tree puts it relative to the program's directory; followed by NETQUILL
// where it lies beside the interposer, so that the loader need not search
// for it. Into out (2 * PATH_MAX bytes).
bool FindPreload(char *out) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return false;
  self[n] = '\0';
  size_t dir_len = static_cast<size_t>(strrchr(self, '/') - self);
  if (!Beside(out, self, dir_len, NQ_PRELOAD_NAME) &&
      !Beside(out, self, dir_len, NQ_PRELOAD_FROM_BIN) &&
      !Beside(out, self, dir_len, NQ_PRELOAD_FROM_BUILD)) {
    return false;
  }
  char library[PATH_MAX];
  size_t preload_len = strlen(out);
  if (Beside(library, out, static_cast<size_t>(strrchr(out, '/') - out),
             NQ_LIBRARY_SONAME)) {
    out[preload_len] = ':';
    memcpy(out + preload_len + 1, library, strlen(library) + 1);
  }
  return true;
}

// Children may change directory before they trace: the path is made
// absolute here, once, into out (PATH_MAX bytes). False when it does not
// fit there.
bool Absolute(const char *path, char *out) {
  char cwd[PATH_MAX];
  int n = path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr
              ? snprintf(out, PATH_MAX, "%s", path)
              : snprintf(out, PATH_MAX, "%s/%s", cwd, path);
  return n > 0 && n < PATH_MAX;
}

int Run(int argc, char **argv) {
  const char *file = nullptr;
  const char *flags = nullptr;
  bool per_process = false;
  int i = 1;
  for (; i < argc; ++i) {
    const char *arg = argv[i];
    if (strcmp(arg, "--") == 0) {
      ++i;
      break;
    }
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      Usage(stdout);
      return 0;
    }
    if (strcmp(arg, "-ff") == 0) {
      per_process = true;
      continue;
    }
    if ((strcmp(arg, "-o") == 0 || strcmp(arg, "-f") == 0) && i + 1 < argc) {
      (arg[1] == 'o' ? file : flags) = argv[++i];
      continue;
    }
    if (arg[0] == '-' && arg[1] != '\0') {
      fprintf(stderr, "netquill-run: unknown option %s\n", arg);
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
  char preload[2 * PATH_MAX];
  if (!FindPreload(preload)) {
    fprintf(stderr, "netquill-run: cannot find %s\n", NQ_PRELOAD_NAME);
    return 127;
  }

  const char *inherited = file != nullptr ? file : getenv("NETQUILL_FILE");
  if (inherited != nullptr && inherited[0] != '\0') {
    // A path the library would cut would send the trace into another file
    // (the user's own, perhaps): refused, and nothing runs.
    char path[PATH_MAX];
    size_t limit = nqdrop::PathLimit(per_process);
    if (!Absolute(inherited, path) || strlen(path) > limit) {
      fprintf(stderr,
              "netquill-run: the trace file path %s is too long: the "
              "library takes %zu characters%s\n",
              Absolute(inherited, path) ? path : inherited, limit,
              per_process ? " before .PID" : "");
      return 2;
    }
    setenv("NETQUILL_FILE", path, 1);
  } else if (per_process) {
    fprintf(stderr, "netquill-run: -ff needs -o FILE or NETQUILL_FILE\n");
    return 2;
  }
  if (flags != nullptr) setenv("NETQUILL_FLAGS", flags, 1);
  if (per_process) setenv("NETQUILL_PER_PROCESS", "1", 1);
  // Ahead of whatever the caller preloads, so the program's calls reach
  // this interposer first.
  const char *others = getenv("LD_PRELOAD");
  if (others != nullptr && others[0] != '\0') {
    char *both =
        static_cast<char *>(malloc(strlen(preload) + strlen(others) + 2));
    if (both == nullptr) return 126;
    sprintf(both, "%s:%s", preload, others);
    setenv("LD_PRELOAD", both, 1);
    free(both);
  } else {
    setenv("LD_PRELOAD", preload, 1);
  }

  // Run all the same: the user sees the program's own behaviour, untraced.
  // The search of PATH is made once; execvp repeats it only for what
  // execv cannot start itself (a script without its #! line).
  char program[PATH_MAX];
  if (FindProgram(argv[i], program)) {
    const char *why = WhyUntraced(program);
    if (why != nullptr)
      fprintf(stderr, "netquill-run: %s %s; it runs untraced\n", argv[i], why);
    execv(program, argv + i);
  }
  execvp(argv[i], argv + i);
  int error = errno;
  fprintf(stderr, "netquill-run: cannot run %s: %s\n", argv[i],
          strerror(error));
  return error == ENOENT ? 127 : 126;
}

}  // namespace
}  // namespace nqrun

int main(int argc, char **argv) { return nqrun::Run(argc, argv); }
