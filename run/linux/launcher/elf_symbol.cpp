// The dynamic symbols of a 64-bit ELF file, read through its section
// headers, and the mappings of another process.
#include "elf_symbol.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nqrun {
namespace {

// A file mapped for reading, unmapped at the end of the scope.
class MappedFile {
 public:
  explicit MappedFile(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0) return;
    if (fstat(fd, &st) == 0 &&
        st.st_size >= static_cast<off_t>(sizeof(Elf64_Ehdr))) {
      size_ = static_cast<size_t>(st.st_size);
      void *at = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (at != MAP_FAILED) data_ = static_cast<const uint8_t *>(at);
    }
    close(fd);
  }
  ~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<uint8_t *>(data_), size_);
  }
  MappedFile(const MappedFile &) = delete;
  MappedFile &operator=(const MappedFile &) = delete;

  // size bytes at offset, or null when the file is shorter.
  const void *At(uint64_t offset, uint64_t size) const {
    if (data_ == nullptr || offset > size_ || size > size_ - offset)
      return nullptr;
    return data_ + offset;
  }

 private:
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

bool SymbolOffset(const char *path, const char *name, uint64_t *offset) {
  MappedFile file(path);
  const auto *eh =
      static_cast<const Elf64_Ehdr *>(file.At(0, sizeof(Elf64_Ehdr)));
  if (eh == nullptr || memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
      eh->e_ident[EI_CLASS] != ELFCLASS64) {
    return false;
  }
  const auto *sections = static_cast<const Elf64_Shdr *>(
      file.At(eh->e_shoff, uint64_t{eh->e_shnum} * sizeof(Elf64_Shdr)));
  const auto *programs = static_cast<const Elf64_Phdr *>(
      file.At(eh->e_phoff, uint64_t{eh->e_phnum} * sizeof(Elf64_Phdr)));
  if (sections == nullptr || programs == nullptr) return false;
  uint64_t first_load = UINT64_MAX;
  for (int i = 0; i < eh->e_phnum; ++i)
    if (programs[i].p_type == PT_LOAD && programs[i].p_vaddr < first_load)
      first_load = programs[i].p_vaddr & ~uint64_t{0xFFF};
  const Elf64_Shdr *dynsym = nullptr, *versym = nullptr;
  for (int i = 0; i < eh->e_shnum; ++i) {
    if (sections[i].sh_type == SHT_DYNSYM) dynsym = &sections[i];
    if (sections[i].sh_type == SHT_GNU_versym) versym = &sections[i];
  }
  if (dynsym == nullptr || dynsym->sh_link >= eh->e_shnum) return false;
  const Elf64_Shdr &strtab = sections[dynsym->sh_link];
  uint64_t count = dynsym->sh_size / sizeof(Elf64_Sym);
  const auto *symbols = static_cast<const Elf64_Sym *>(
      file.At(dynsym->sh_offset, dynsym->sh_size));
  const auto *strings =
      static_cast<const char *>(file.At(strtab.sh_offset, strtab.sh_size));
  const auto *versions =
      versym == nullptr ? nullptr
                        : static_cast<const uint16_t *>(file.At(
                              versym->sh_offset, count * sizeof(uint16_t)));
  if (symbols == nullptr || strings == nullptr) return false;
  bool found = false;
  for (uint64_t i = 0; i < count; ++i) {
    const Elf64_Sym &s = symbols[i];
    if (s.st_name >= strtab.sh_size || s.st_shndx == SHN_UNDEF ||
        ELF64_ST_TYPE(s.st_info) != STT_FUNC ||
        strncmp(strings + s.st_name, name, strtab.sh_size - s.st_name) != 0) {
      continue;
    }
    bool hidden = versions != nullptr && (versions[i] & 0x8000) != 0;
    if (found && hidden) continue;  // an older version of one found
    *offset = s.st_value - first_load;
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
  int fd = open(exe, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  unsigned char ident[EI_NIDENT] = {};
  ssize_t n = read(fd, ident, sizeof ident);
  close(fd);
  if (n != EI_NIDENT || memcmp(ident, ELFMAG, SELFMAG) != 0) return 0;
  return ident[EI_CLASS] == ELFCLASS32 ? 32 : 64;
}

}  // namespace nqrun
