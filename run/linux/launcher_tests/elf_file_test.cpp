// The ELF reader on files the launcher's runs on real programs never meet:
// cut short, pointing past their end, of the other class, or not ELF at
// all. Each image is held in a buffer of exactly its size, so that a read
// past the end shows under the address sanitizer.
#include "elf_file.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "static_tls.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
void Put(Bytes &b, size_t at, const T &value) {
  if (b.size() < at + sizeof value) b.resize(at + sizeof value);
  memcpy(b.data() + at, &value, sizeof value);
}

Elf64_Ehdr Header64() {
  Elf64_Ehdr h = {};
  memcpy(h.e_ident, ELFMAG, SELFMAG);
  h.e_ident[EI_CLASS] = ELFCLASS64;
  h.e_ehsize = sizeof h;
  h.e_phentsize = sizeof(Elf64_Phdr);
  h.e_shentsize = sizeof(Elf64_Shdr);
  return h;
}

// A 64-bit header and one PT_INTERP program header right after it, with the
// header's fields then changed by edit.
template <typename Edit>
Bytes Image64(Edit edit) {
  Elf64_Ehdr h = Header64();
  h.e_phoff = sizeof h;
  h.e_phnum = 1;
  edit(h);
  Bytes b;
  Put(b, 0, h);
  Elf64_Phdr interp = {};
  interp.p_type = PT_INTERP;
  Put(b, sizeof h, interp);
  return b;
}

struct HeaderCase {
  const char *why;
  Bytes bytes;
  int bits;
  bool segments_fit;
  unsigned segments;
  bool sections_fit;
};

TEST(ElfView, HeadersAndTablesAreCheckedAgainstTheSize) {
  const std::string script = "#!/bin/sh\nexit 0\n";
  Bytes cut_header = Image64([](Elf64_Ehdr &) {});
  cut_header.resize(sizeof(Elf64_Ehdr) - 1);
  Bytes cut_table = Image64([](Elf64_Ehdr &) {});
  cut_table.pop_back();
  Elf32_Ehdr h32 = {};
  memcpy(h32.e_ident, ELFMAG, SELFMAG);
  h32.e_ident[EI_CLASS] = ELFCLASS32;
  Bytes only_32;
  Put(only_32, 0, h32);
  const HeaderCase cases[] = {
      {"empty", {}, 0, false, 0, false},
      {"not ELF", Bytes(script.begin(), script.end()), 0, false, 0, false},
      {"magic only", Bytes{0x7f, 'E', 'L', 'F'}, 0, false, 0, false},
      {"header cut short", cut_header, 0, false, 0, false},
      {"unknown class", Image64([](Elf64_Ehdr &h) { h.e_ident[EI_CLASS] = 3; }),
       0, false, 0, false},
      {"table fits to the byte", Image64([](Elf64_Ehdr &) {}), 64, true, 1,
       true},
      {"table one byte short", cut_table, 64, false, 0, true},
      {"table past the end",
       Image64([](Elf64_Ehdr &h) { h.e_phoff = 1 << 20; }), 64, false, 0, true},
      {"offset that wraps",
       Image64([](Elf64_Ehdr &h) { h.e_phoff = UINT64_MAX - 8; }), 64, false, 0,
       true},
      {"count past the end", Image64([](Elf64_Ehdr &h) { h.e_phnum = 0xFFFF; }),
       64, false, 0, true},
      {"entries of another size",
       Image64([](Elf64_Ehdr &h) { h.e_phentsize = sizeof(Elf32_Phdr); }), 64,
       false, 0, true},
      {"table on the header", Image64([](Elf64_Ehdr &h) { h.e_phoff = 0; }), 64,
       false, 0, true},
      {"sections past the end", Image64([](Elf64_Ehdr &h) {
         h.e_shoff = sizeof h;
         h.e_shnum = 2;
       }),
       64, true, 1, false},
      {"32-bit header alone", only_32, 32, true, 0, true},
  };
  for (const HeaderCase &c : cases) {
    // A copy of exactly its size: the sanitizer sees any read past it.
    const Bytes bytes = c.bytes;
    nqrun::ElfView elf(bytes.empty() ? nullptr : bytes.data(), bytes.size());
    EXPECT_EQ(elf.Valid(), c.bits != 0) << c.why;
    EXPECT_EQ(elf.Bits(), c.bits) << c.why;
    EXPECT_EQ(elf.SegmentsFit(), c.segments_fit) << c.why;
    EXPECT_EQ(elf.SegmentCount(), c.segments) << c.why;
    EXPECT_EQ(elf.SectionsFit(), c.sections_fit) << c.why;
    if (c.segments > 0) {
      EXPECT_EQ(elf.Segment(0).type, PT_INTERP) << c.why;
    }
  }
}

// A 32-bit object: sections null, .symtab, .strtab, the symbol table's and
// the strings' bytes last, the strings ending the file without a NUL.
Bytes Object32(const char *name, uint32_t strings_size_extra) {
  const std::string strings = std::string(1, '\0') + name;
  const uint32_t symbols_at = sizeof(Elf32_Ehdr) + 3 * sizeof(Elf32_Shdr);
  const uint32_t strings_at = symbols_at + 2 * sizeof(Elf32_Sym);
  Elf32_Ehdr h = {};
  memcpy(h.e_ident, ELFMAG, SELFMAG);
  h.e_ident[EI_CLASS] = ELFCLASS32;
  h.e_shoff = sizeof h;
  h.e_shnum = 3;
  h.e_shentsize = sizeof(Elf32_Shdr);
  Bytes b;
  Put(b, 0, h);
  Elf32_Shdr none = {}, symtab = {}, strtab = {};
  symtab.sh_type = SHT_SYMTAB;
  symtab.sh_link = 2;
  symtab.sh_offset = symbols_at;
  symtab.sh_size = 2 * sizeof(Elf32_Sym);
  strtab.sh_type = SHT_STRTAB;
  strtab.sh_offset = strings_at;
  strtab.sh_size = static_cast<uint32_t>(strings.size()) + strings_size_extra;
  Put(b, sizeof h, none);
  Put(b, sizeof h + sizeof none, symtab);
  Put(b, sizeof h + 2 * sizeof none, strtab);
  Elf32_Sym undefined = {}, defined = {};
  defined.st_name = 1;
  defined.st_value = 0x1234;
  defined.st_info = ELF32_ST_INFO(STB_GLOBAL, STT_FUNC);
  defined.st_shndx = 1;
  Put(b, symbols_at, undefined);
  Put(b, symbols_at + sizeof undefined, defined);
  b.insert(b.end(), strings.begin(), strings.end());
  return b;
}

TEST(ElfView, SymbolsOfA32BitFileAndStringsAtTheEnd) {
  const Bytes fits = Object32("SSL_read", 0);
  nqrun::ElfView elf(fits.data(), fits.size());
  ASSERT_EQ(elf.Bits(), 32);
  ASSERT_EQ(elf.SectionCount(), 3u);
  const nqrun::ElfSection symtab = elf.Section(1);
  ASSERT_EQ(elf.SymbolCount(symtab), 2u);
  const nqrun::ElfSymbol sym = elf.Symbol(symtab, 1);
  EXPECT_EQ(sym.value, 0x1234u);
  EXPECT_EQ(sym.type, STT_FUNC);
  EXPECT_EQ(sym.section, 1);
  const nqrun::ElfSection strings = elf.Section(2);
  EXPECT_TRUE(elf.NameIs(strings, sym.name, "SSL_read"));
  EXPECT_FALSE(elf.NameIs(strings, sym.name, "SSL_rea"));
  EXPECT_FALSE(elf.NameIs(strings, sym.name, "SSL_read_ex"));
  EXPECT_FALSE(elf.NameIs(strings, 1000, "SSL_read"));  // past the strings

  // The string section said to run a byte past the file: refused whole.
  const Bytes cut = Object32("SSL_read", 1);
  nqrun::ElfView cut_elf(cut.data(), cut.size());
  EXPECT_FALSE(cut_elf.NameIs(cut_elf.Section(2), 1, "SSL_read"));
  // The symbol table said to run past the file: no symbols.
  Bytes short_symbols = fits;
  short_symbols.resize(sizeof(Elf32_Ehdr) + 3 * sizeof(Elf32_Shdr) + 20);
  nqrun::ElfView short_elf(short_symbols.data(), short_symbols.size());
  EXPECT_EQ(short_elf.SymbolCount(short_elf.Section(1)), 0u);
}

// The same 32-bit file on disk, through the launcher's check for a TLS
// library built into the program.
TEST(ElfView, StaticTlsIn32BitProgram) {
  const struct {
    const char *name;
    const char *library;
  } cases[] = {{"SSL_read", "OpenSSL"},
               {"gnutls_record_recv", "GnuTLS"},
               {"SSL_write", nullptr}};
  for (const auto &c : cases) {
    const Bytes b = Object32(c.name, 0);
    const std::string path = std::string("elf32-") + c.name;
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
    fclose(f);
    const char *found = nqrun::StaticTlsLibrary(path.c_str());
    EXPECT_STREQ(found, c.library) << c.name;
    remove(path.c_str());
  }
}

}  // namespace
