// The launcher's one reader of ELF files, 32- or 64-bit: the header, the
// program and section header tables, and symbol tables. Every offset and
// count a file gives is checked against the file's size before anything
// is read, so a truncated or hostile file is refused, never read past.
// Entries are copied out whatever their alignment in the file. No heap and
// no exceptions: the launcher links without the C++ runtime.
#ifndef NQ_DROPIN_NETQUILL_RUN_ELF_FILE_H
#define NQ_DROPIN_NETQUILL_RUN_ELF_FILE_H

#include <stddef.h>
#include <stdint.h>

namespace nqrun {

// Both classes' entries, widened to the 64-bit fields.
struct ElfSegment {
  uint32_t type;
  uint64_t offset, vaddr, file_size;
};
struct ElfSection {
  uint32_t type, link;
  uint64_t offset, size;
};
struct ElfSymbol {
  uint32_t name;     // offset in the table's string section
  uint8_t type;      // STT_FUNC, ...
  uint16_t section;  // SHN_UNDEF where the file only refers to it
  uint64_t value;
};

// ELF bytes in memory, not owned.
class ElfView {
 public:
  // Valid() only when the bytes begin with an ELF header of class 32 or
  // 64 that fits in them.
  ElfView(const uint8_t *bytes, size_t size);
  bool Valid() const { return bits_ != 0; }
  int Bits() const { return bits_; }  // 32 or 64, 0 when not valid

  // Whether the table fits in the file with entries of its class's size;
  // an empty table fits. The counts are 0 for a table that does not fit.
  bool SegmentsFit() const;
  bool SectionsFit() const;
  unsigned SegmentCount() const { return SegmentsFit() ? segment_count_ : 0; }
  unsigned SectionCount() const { return SectionsFit() ? section_count_ : 0; }
  // i below the count.
  ElfSegment Segment(unsigned i) const;
  ElfSection Section(unsigned i) const;

  // The number of entries of a symbol table section, 0 when its bytes do
  // not fit in the file; Symbol(table, i) for i below it.
  uint64_t SymbolCount(const ElfSection &table) const;
  ElfSymbol Symbol(const ElfSection &table, uint64_t i) const;
  // Whether the string at offset in the string section equals name; false
  // when the section does not fit or the string runs past its end.
  bool NameIs(const ElfSection &strings, uint32_t offset,
              const char *name) const;

  // size bytes at offset, or null when the file is shorter.
  const uint8_t *At(uint64_t offset, uint64_t size) const;

 private:
  bool TableFits(uint64_t offset, unsigned count, unsigned entry_size,
                 unsigned wanted_size) const;

  const uint8_t *bytes_;
  size_t size_;
  int bits_ = 0;
  uint64_t segment_offset_ = 0, section_offset_ = 0;
  unsigned segment_count_ = 0, section_count_ = 0;
  unsigned segment_entry_ = 0, section_entry_ = 0;
};

// A regular file mapped for reading, unmapped at the end of the scope; its
// view is not Valid() when it cannot be opened or mapped.
class MappedElf {
 public:
  explicit MappedElf(const char *path);
  ~MappedElf();
  MappedElf(const MappedElf &) = delete;
  MappedElf &operator=(const MappedElf &) = delete;
  const ElfView &View() const { return view_; }

 private:
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
  ElfView view_;
};

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_ELF_FILE_H
