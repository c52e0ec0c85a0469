// Reads the program's symbol tables (.symtab where it was not stripped,
// .dynsym always) through one read-only mapping, looking for a TLS
// library's record functions defined in the file itself. A program that
// uses a shared libssl or libgnutls only refers to them (undefined there).
#include "static_tls.h"

#include <elf.h>

#include "elf_file.h"

namespace nqrun {
namespace {

struct Library {
  const char *symbol;  // a function every version of it has
  const char *name;
};
constexpr Library kLibraries[] = {{"SSL_read", "OpenSSL"},
                                  {"gnutls_record_recv", "GnuTLS"}};

// The library whose record function one of the table's symbols defines.
const char *DefinedIn(const ElfView &elf, const ElfSection &table) {
  if (table.link >= elf.SectionCount()) return nullptr;
  const ElfSection strings = elf.Section(table.link);
  const uint64_t count = elf.SymbolCount(table);
  for (uint64_t i = 0; i < count; ++i) {
    const ElfSymbol sym = elf.Symbol(table, i);
    if (sym.section == SHN_UNDEF) continue;
    for (const Library &lib : kLibraries)
      if (elf.NameIs(strings, sym.name, lib.symbol)) return lib.name;
  }
  return nullptr;
}

}  // namespace

const char *StaticTlsLibrary(const char *path) {
  MappedElf file(path);
  const ElfView &elf = file.View();
  for (unsigned i = 0; i < elf.SectionCount(); ++i) {
    const ElfSection table = elf.Section(i);
    if (table.type != SHT_SYMTAB && table.type != SHT_DYNSYM) continue;
    if (const char *found = DefinedIn(elf, table)) return found;
  }
  return nullptr;
}

}  // namespace nqrun
