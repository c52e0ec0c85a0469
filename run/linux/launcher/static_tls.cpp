// Reads the program's symbol tables (.symtab where it was not stripped,
// .dynsym always) through one read-only mapping, looking for a TLS
// library's record functions defined in the file itself. A program that
// uses a shared libssl or libgnutls only refers to them (undefined there).
#include "static_tls.h"

#include <elf.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nqrun {
namespace {

struct Library {
  const char *symbol;  // a function every version of it has
  const char *name;
};
constexpr Library kLibraries[] = {{"SSL_read", "OpenSSL"},
                                  {"gnutls_record_recv", "GnuTLS"}};

template <typename Ehdr, typename Shdr, typename Sym>
const char *Defines(const unsigned char *file, size_t size) {
  const auto *eh = reinterpret_cast<const Ehdr *>(file);
  if (eh->e_shoff == 0 || eh->e_shentsize != sizeof(Shdr) ||
      eh->e_shoff > size || (size - eh->e_shoff) / sizeof(Shdr) < eh->e_shnum)
    return nullptr;
  const auto *sections = reinterpret_cast<const Shdr *>(file + eh->e_shoff);
  for (unsigned i = 0; i < eh->e_shnum; ++i) {
    const Shdr &table = sections[i];
    if ((table.sh_type != SHT_SYMTAB && table.sh_type != SHT_DYNSYM) ||
        table.sh_link >= eh->e_shnum || table.sh_offset > size ||
        table.sh_size > size - table.sh_offset)
      continue;
    const Shdr &strings = sections[table.sh_link];
    if (strings.sh_offset > size || strings.sh_size > size - strings.sh_offset)
      continue;
    const char *names =
        reinterpret_cast<const char *>(file + strings.sh_offset);
    const auto *symbols = reinterpret_cast<const Sym *>(file + table.sh_offset);
    for (size_t s = 0; s < table.sh_size / sizeof(Sym); ++s) {
      const Sym &sym = symbols[s];
      if (sym.st_shndx == SHN_UNDEF || sym.st_name >= strings.sh_size) continue;
      const char *name = names + sym.st_name;
      size_t room = strings.sh_size - sym.st_name;
      for (const Library &lib : kLibraries)
        if (strnlen(name, room) == strlen(lib.symbol) &&
            memcmp(name, lib.symbol, strlen(lib.symbol)) == 0)
          return lib.name;
    }
  }
  return nullptr;
}

}  // namespace

const char *StaticTlsLibrary(const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  void *map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr)))
    map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE,
               fd, 0);
  close(fd);
  if (map == MAP_FAILED) return nullptr;
  const auto *file = static_cast<const unsigned char *>(map);
  size_t size = static_cast<size_t>(st.st_size);
  const char *found = nullptr;
  if (memcmp(file, ELFMAG, SELFMAG) == 0 && file[EI_CLASS] == ELFCLASS64)
    found = Defines<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(file, size);
  else if (memcmp(file, ELFMAG, SELFMAG) == 0 && file[EI_CLASS] == ELFCLASS32)
    found = Defines<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(file, size);
  munmap(map, size);
  return found;
}

}  // namespace nqrun
