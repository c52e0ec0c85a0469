// Runs a call script (calls.txt) against a NETQUILL.DLL loaded at run time,
// or one of socket calls (dropin_calls.txt) against the drop-in
// WSOCK32.DLL, calling each export by the name the script gives, in the
// current directory, where the script's trace files land. The 64-bit build
// runs it under Wine; its trace is what the shipping 32-bit DLL, run in the
// emulator by the same script, must write.
//   nq_script DLL SCRIPT
#include <winsock2.h>

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

using Word = intptr_t;
using AnyExport = Word(WINAPI *)(Word, Word, Word, Word, Word, Word, Word,
                                 Word);

struct Hooks {
  int(WINAPI *get)();
  void(WINAPI *set)(int);
};

int WINAPI GetCode() { return static_cast<int>(GetLastError()); }
void WINAPI SetCode(int code) { SetLastError(static_cast<DWORD>(code)); }

std::deque<std::string> g_blocks;  // what the arguments point to

void *Keep(const void *data, size_t size) {
  g_blocks.emplace_back(static_cast<const char *>(data), size);
  g_blocks.back().push_back('\0');
  return &g_blocks.back()[0];
}

std::vector<std::string> Split(const std::string &s, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t end; (end = s.find(sep, at)) != std::string::npos; at = end + 1)
    out.push_back(s.substr(at, end - at));
  out.push_back(s.substr(at));
  return out;
}

// The words of a line; a quoted word keeps its blanks and knows \n, \" and \\.
std::vector<std::string> Words(const std::string &line, std::string *error) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    std::string w;
    if (line[i] == '"') {
      w.push_back('"');
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          ++i;
          w.push_back(line[i] == 'n' ? '\n' : line[i]);
        } else {
          w.push_back(line[i]);
        }
      }
      if (i >= line.size()) *error = "unterminated string";
      ++i;
    } else {
      while (i < line.size() && line[i] != ' ') w.push_back(line[i++]);
    }
    words.push_back(w);
  }
  return words;
}

uint32_t Address(const std::string &dotted) {
  auto parts = Split(dotted, '.');
  unsigned char b[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < 4 && i < parts.size(); ++i)
    b[i] = static_cast<unsigned char>(atoi(parts[i].c_str()));
  uint32_t a;
  memcpy(&a, b, 4);
  return a;
}

std::string Bytes(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(strtoul(hex.substr(i, 2).c_str(), 0, 16)));
  return out;
}

// Values kept from results ($NAME) and blocks named where they are made
// (NAME=KIND:..., later &NAME).
std::map<std::string, Word> g_names;

Word Argument(const std::string &w, std::string *error) {
  if (w == "null") return 0;
  if (w[0] == '$' || w[0] == '&') {
    auto it = g_names.find(w);
    if (it == g_names.end()) *error = "unknown name " + w;
    return it == g_names.end() ? 0 : it->second;
  }
  size_t eq = w.find('=');
  if (w[0] != '"' && eq != std::string::npos)
    return g_names["&" + w.substr(0, eq)] = Argument(w.substr(eq + 1), error);
  if (w[0] == '"')
    return reinterpret_cast<Word>(Keep(w.data() + 1, w.size() - 1));
  auto f = Split(w, ':');
  const std::string &kind = f[0];
  if (kind == "sin" && f.size() == 3) {
    sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<u_short>(atoi(f[2].c_str())));
    sin.sin_addr.s_addr = Address(f[1]);
    return reinterpret_cast<Word>(Keep(&sin, sizeof sin));
  }
  if (kind == "int" && f.size() == 2) {
    int v = atoi(f[1].c_str());
    return reinterpret_cast<Word>(Keep(&v, sizeof v));
  }
  if (kind == "data" && f.size() == 2) {
    std::string b = Bytes(f[1]);
    return reinterpret_cast<Word>(Keep(b.data(), b.size()));
  }
  if (kind == "zeros" && f.size() == 2) {
    std::string b(static_cast<size_t>(atoi(f[1].c_str())), '\0');
    return reinterpret_cast<Word>(Keep(b.data(), b.size()));
  }
  if (kind == "host" && f.size() == 3) {
    auto *h = static_cast<hostent *>(Keep("", sizeof(hostent)));
    memset(h, 0, sizeof *h);
    h->h_name = static_cast<char *>(Keep(f[1].data(), f[1].size()));
    h->h_addrtype = AF_INET;
    h->h_length = 4;
    char *list[2] = {nullptr, nullptr};
    if (f[2] != "-") {
      uint32_t a = Address(f[2]);
      list[0] = static_cast<char *>(Keep(&a, 4));
    }
    h->h_addr_list = static_cast<char **>(Keep(list, sizeof list));
    return reinterpret_cast<Word>(h);
  }
  if (kind == "serv" && f.size() == 4) {
    auto *s = static_cast<servent *>(Keep("", sizeof(servent)));
    memset(s, 0, sizeof *s);
    s->s_name = static_cast<char *>(Keep(f[1].data(), f[1].size()));
    s->s_port =
        static_cast<short>(htons(static_cast<u_short>(atoi(f[2].c_str()))));
    s->s_proto = static_cast<char *>(Keep(f[3].data(), f[3].size()));
    return reinterpret_cast<Word>(s);
  }
  if (kind == "proto" && f.size() == 3) {
    auto *p = static_cast<protoent *>(Keep("", sizeof(protoent)));
    memset(p, 0, sizeof *p);
    p->p_name = static_cast<char *>(Keep(f[1].data(), f[1].size()));
    p->p_proto = static_cast<short>(atoi(f[2].c_str()));
    return reinterpret_cast<Word>(p);
  }
  if (kind == "fds" && f.size() == 2) {
    fd_set set;
    FD_ZERO(&set);
    for (const std::string &name : Split(f[1], ','))
      FD_SET(static_cast<SOCKET>(Argument(name, error)), &set);
    return reinterpret_cast<Word>(Keep(&set, sizeof set));
  }
  if (kind == "tv" && f.size() == 3) {
    timeval tv;
    tv.tv_sec = atol(f[1].c_str());
    tv.tv_usec = atol(f[2].c_str());
    return reinterpret_cast<Word>(Keep(&tv, sizeof tv));
  }
  char *end = nullptr;
  long long v = strtoll(w.c_str(), &end, 0);
  if (end == w.c_str() || *end != '\0') *error = "bad argument " + w;
  return static_cast<Word>(v);
}

// An export as a function of the type the caller gives it.
template <typename F>
F Bind(HMODULE dll, const char *name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: nq_script DLL SCRIPT\n");
    return 2;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == nullptr) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  FILE *script = fopen(argv[2], "r");
  if (script == nullptr) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 2;
  }
  auto setup = Bind<int(WINAPI *)(const Hooks *)>(dll, "WSASetupTrace");
  int failures = 0;
  int number = 0;
  Word last = 0;
  DWORD code = 0;  // the caller's error code as the next call starts
  char buf[4096];
  while (fgets(buf, sizeof buf, script)) {
    ++number;
    std::string line(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.pop_back();
    std::string error;
    auto words = Words(line, &error);
    if (words.empty() || words[0][0] == '#') continue;
    if (words[0] == "setup" || words[0] == "setup-off") {
      Hooks on = {GetCode, SetCode};
      Hooks off = {nullptr, nullptr};
      setup(words[0] == "setup" ? &on : &off);
    } else if (words[0] == "error" && words.size() == 2) {
      code = static_cast<DWORD>(atoi(words[1].c_str()));
    } else if ((words[0] == "expect" || words[0] == "expect-error") &&
               words.size() == 2) {
      int want = atoi(words[1].c_str());
      int got = words[0] == "expect"
                    ? static_cast<int>(static_cast<int32_t>(last))
                    : static_cast<int>(code);
      if (got != want) {
        fprintf(stderr, "line %d: %s %d, expected %d\n", number,
                words[0].c_str(), got, want);
        ++failures;
      }
    } else if (words[0] == "keep" && words.size() == 2) {
      g_names["$" + words[1]] = last;
    } else if (words[0] == "call" && words.size() >= 2 && words.size() <= 10) {
      auto fn = Bind<AnyExport>(dll, words[1].c_str());
      if (fn == nullptr) error = "no export " + words[1];
      Word a[8] = {0, 0, 0, 0, 0, 0, 0, 0};
      for (size_t i = 2; i < words.size(); ++i)
        a[i - 2] = Argument(words[i], &error);
      if (error.empty()) {
        SetLastError(code);
        last = fn(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
        code = GetLastError();
      }
    } else {
      error = "unknown command";
    }
    if (!error.empty()) {
      fprintf(stderr, "line %d: %s\n", number, error.c_str());
      ++failures;
    }
  }
  fclose(script);
  printf("%d lines, %d failures\n", number, failures);
  return failures ? 1 : 0;
}
