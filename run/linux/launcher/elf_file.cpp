#include "elf_file.h"

#include <elf.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nqrun {
namespace {

// The entry at bytes, copied out: a file's tables need not be aligned.
template <typename T>
T Read(const uint8_t *bytes) {
  T value;
  memcpy(&value, bytes, sizeof value);
  return value;
}

// Where the tables lie, from either class's header.
template <typename Ehdr>
void ReadHeader(const uint8_t *bytes, uint64_t *phoff, unsigned *phnum,
                unsigned *phentsize, uint64_t *shoff, unsigned *shnum,
                unsigned *shentsize) {
  const auto eh = Read<Ehdr>(bytes);
  *phoff = eh.e_phoff;
  *phnum = eh.e_phnum;
  *phentsize = eh.e_phentsize;
  *shoff = eh.e_shoff;
  *shnum = eh.e_shnum;
  *shentsize = eh.e_shentsize;
}

template <typename Phdr>
ElfSegment WidenSegment(const uint8_t *at) {
  const auto p = Read<Phdr>(at);
  return {p.p_type, p.p_offset, p.p_vaddr, p.p_filesz};
}

template <typename Shdr>
ElfSection WidenSection(const uint8_t *at) {
  const auto s = Read<Shdr>(at);
  return {s.sh_type, s.sh_link, s.sh_offset, s.sh_size};
}

template <typename Sym>
ElfSymbol WidenSymbol(const uint8_t *at) {
  const auto s = Read<Sym>(at);
  return {s.st_name, static_cast<uint8_t>(s.st_info & 0xF), s.st_shndx,
          s.st_value};
}

}  // namespace

ElfView::ElfView(const uint8_t *bytes, size_t size)
    : bytes_(bytes), size_(size) {
  if (bytes == nullptr || size < EI_NIDENT ||
      memcmp(bytes, ELFMAG, SELFMAG) != 0)
    return;
  if (bytes[EI_CLASS] == ELFCLASS64 && size >= sizeof(Elf64_Ehdr)) {
    ReadHeader<Elf64_Ehdr>(bytes, &segment_offset_, &segment_count_,
                           &segment_entry_, &section_offset_, &section_count_,
                           &section_entry_);
    bits_ = 64;
  } else if (bytes[EI_CLASS] == ELFCLASS32 && size >= sizeof(Elf32_Ehdr)) {
    ReadHeader<Elf32_Ehdr>(bytes, &segment_offset_, &segment_count_,
                           &segment_entry_, &section_offset_, &section_count_,
                           &section_entry_);
    bits_ = 32;
  }
}

const uint8_t *ElfView::At(uint64_t offset, uint64_t size) const {
  if (bytes_ == nullptr || offset > size_ || size > size_ - offset)
    return nullptr;
  return bytes_ + offset;
}

bool ElfView::TableFits(uint64_t offset, unsigned count, unsigned entry_size,
                        unsigned wanted_size) const {
  if (!Valid()) return false;
  if (count == 0) return true;
  // Offset 0 is the ELF header itself: no table lies there.
  return offset != 0 && entry_size == wanted_size &&
         At(offset, uint64_t{count} * entry_size) != nullptr;
}

bool ElfView::SegmentsFit() const {
  return TableFits(segment_offset_, segment_count_, segment_entry_,
                   bits_ == 64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr));
}

bool ElfView::SectionsFit() const {
  return TableFits(section_offset_, section_count_, section_entry_,
                   bits_ == 64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr));
}

ElfSegment ElfView::Segment(unsigned i) const {
  const uint8_t *at = bytes_ + segment_offset_ + uint64_t{i} * segment_entry_;
  return bits_ == 64 ? WidenSegment<Elf64_Phdr>(at)
                     : WidenSegment<Elf32_Phdr>(at);
}

ElfSection ElfView::Section(unsigned i) const {
  const uint8_t *at = bytes_ + section_offset_ + uint64_t{i} * section_entry_;
  return bits_ == 64 ? WidenSection<Elf64_Shdr>(at)
                     : WidenSection<Elf32_Shdr>(at);
}

uint64_t ElfView::SymbolCount(const ElfSection &table) const {
  if (At(table.offset, table.size) == nullptr) return 0;
  return table.size / (bits_ == 64 ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym));
}

ElfSymbol ElfView::Symbol(const ElfSection &table, uint64_t i) const {
  if (bits_ == 64)
    return WidenSymbol<Elf64_Sym>(bytes_ + table.offset +
                                  i * sizeof(Elf64_Sym));
  return WidenSymbol<Elf32_Sym>(bytes_ + table.offset + i * sizeof(Elf32_Sym));
}

bool ElfView::NameIs(const ElfSection &strings, uint32_t offset,
                     const char *name) const {
  const uint8_t *table = At(strings.offset, strings.size);
  if (table == nullptr || offset >= strings.size) return false;
  const char *text = reinterpret_cast<const char *>(table) + offset;
  size_t room = static_cast<size_t>(strings.size - offset);
  size_t length = strlen(name);
  return strnlen(text, room) == length && memcmp(text, name, length) == 0;
}

MappedElf::MappedElf(const char *path) : view_(nullptr, 0) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    size_t size = static_cast<size_t>(st.st_size);
    void *at = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (at != MAP_FAILED) {
      data_ = static_cast<const uint8_t *>(at);
      size_ = size;
      view_ = ElfView(data_, size_);
    }
  }
  close(fd);
}

MappedElf::~MappedElf() {
  if (data_ != nullptr) munmap(const_cast<uint8_t *>(data_), size_);
}

}  // namespace nqrun
