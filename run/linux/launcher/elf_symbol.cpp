// The dynamic symbols of a 64-bit ELF file, read through its section
// headers, and the mappings of another process.
#include "elf_symbol.h"

#include <elf.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "elf_file.h"

namespace nqrun {
namespace {

// The page of the lowest loaded address: symbol values are taken from it.
uint64_t FirstLoadPage(const ElfView &elf) {
  uint64_t first_load = UINT64_MAX;
  for (unsigned i = 0; i < elf.SegmentCount(); ++i) {
    const ElfSegment segment = elf.Segment(i);
    if (segment.type == PT_LOAD && segment.vaddr < first_load)
      first_load = segment.vaddr & ~uint64_t{0xFFF};
  }
  return first_load;
}

// The last section of the type, as the dynamic linker's tables are found.
bool FindSection(const ElfView &elf, uint32_t type, ElfSection *out) {
  bool found = false;
  for (unsigned i = 0; i < elf.SectionCount(); ++i) {
    const ElfSection section = elf.Section(i);
    if (section.type != type) continue;
    *out = section;
    found = true;
  }
  return found;
}

}  // namespace

bool SymbolOffset(const char *path, const char *name, uint64_t *offset) {
  MappedElf file(path);
  const ElfView &elf = file.View();
  if (elf.Bits() != 64 || !elf.SectionsFit() || !elf.SegmentsFit())
    return false;
  const uint64_t first_load = FirstLoadPage(elf);
  ElfSection dynsym, versym;
  if (!FindSection(elf, SHT_DYNSYM, &dynsym) ||
      dynsym.link >= elf.SectionCount())
    return false;
  const ElfSection strings = elf.Section(dynsym.link);
  const uint64_t count = elf.SymbolCount(dynsym);
  // Without a version table every symbol is its name's default version.
  const uint8_t *versions =
      FindSection(elf, SHT_GNU_versym, &versym)
          ? elf.At(versym.offset, count * sizeof(uint16_t))
          : nullptr;
  bool found = false;
  for (uint64_t i = 0; i < count; ++i) {
    const ElfSymbol s = elf.Symbol(dynsym, i);
    if (s.section == SHN_UNDEF || s.type != STT_FUNC ||
        !elf.NameIs(strings, s.name, name))
      continue;
    uint16_t version = 0;
    if (versions != nullptr)
      memcpy(&version, versions + i * sizeof version, sizeof version);
    bool hidden = (version & 0x8000) != 0;
    if (found && hidden) continue;  // an older version of one found
    *offset = s.value - first_load;
    found = true;
    if (!hidden) break;
  }
  return found;
}

bool FindMapping(pid_t pid, const char *suffix, bool exact, uint64_t *base,
                 char *path) {
  char maps[64];
  snprintf(maps, sizeof maps, "/proc/%d/maps", static_cast<int>(pid));
  FILE *in = fopen(maps, "re");
  if (in == nullptr) return false;
  char line[PATH_MAX + 128];
  size_t suffix_len = strlen(suffix);
  bool found = false;
  while (!found && fgets(line, sizeof line, in) != nullptr) {
    unsigned long long start, end, file_offset, inode;
    char perms[8], device[16];
    int name_at = 0;
    if (sscanf(line, "%llx-%llx %7s %llx %15s %llu %n", &start, &end, perms,
               &file_offset, device, &inode, &name_at) < 6 ||
        name_at == 0 || line[name_at] != '/') {
      continue;
    }
    char *name = line + name_at;
    name[strcspn(name, "\n")] = '\0';
    size_t len = strlen(name);
    bool match = exact ? strcmp(name, suffix) == 0
                       : len >= suffix_len &&
                             strcmp(name + len - suffix_len, suffix) == 0;
    if (!match || file_offset != 0) continue;
    *base = start;
    memcpy(path, name, len + 1);
    found = true;
  }
  int error = ferror(in) ? errno : 0;
  fclose(in);
  if (!found && error != 0) errno = error;
  return found;
}

int ProgramClass(pid_t pid) {
  char exe[64];
  snprintf(exe, sizeof exe, "/proc/%d/exe", static_cast<int>(pid));
  MappedElf file(exe);
  return file.View().Bits();
}

}  // namespace nqrun
