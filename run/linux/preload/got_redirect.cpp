// The global offset table entries of the program's modules, sent to the
// interposer. An entry is named by a JUMP_SLOT or GLOB_DAT relocation of
// the module; the replacement is this interposer's exported function of
// the same name, found in its own dynamic symbol table. Entries in the
// module's read-only-after-relocation part are written between two
// mprotect calls.
#include "got_redirect.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "netquill.h"
#include "preload_state.h"

namespace nqrun {
namespace {

#if defined(__x86_64__)
constexpr uint32_t kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr uint32_t kGlobDat = R_X86_64_GLOB_DAT;
#elif defined(__aarch64__)
constexpr uint32_t kJumpSlot = R_AARCH64_JUMP_SLOT;
constexpr uint32_t kGlobDat = R_AARCH64_GLOB_DAT;
#else
#error "the relocation types of this architecture are not known here"
#endif

void *AttachedDlopen(const char *file, int mode);

// This interposer's functions by name, sorted for a binary search.
struct Export {
  const char *name;
  void *address;
};
constexpr int kMaxExports = 128;
Export g_exports[kMaxExports];
int g_export_count;

// An entry pointed here, with what it held before.
struct Entry {
  void **slot;
  void *before;
  void *now;
};
constexpr int kMaxEntries = 8192;
Entry g_entries[kMaxEntries];
int g_entry_count;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

// A module's dynamic section keeps addresses relocated by the loader on
// most systems, and file offsets on a few (and in the vDSO).
uintptr_t Absolute(ElfW(Addr) value, ElfW(Addr) base) {
  return value < base ? value + base : value;
}

// The number of symbols in a table that only a GNU hash describes: past
// the last chain's end.
size_t SymbolCount(const uint32_t *gnu_hash) {
  uint32_t buckets = gnu_hash[0], offset = gnu_hash[1];
  uint32_t bloom_words = gnu_hash[2];
  const uint32_t *bucket = reinterpret_cast<const uint32_t *>(
      reinterpret_cast<const ElfW(Addr) *>(gnu_hash + 4) + bloom_words);
  const uint32_t *chain = bucket + buckets;
  uint32_t last = 0;
  for (uint32_t b = 0; b < buckets; ++b)
    if (bucket[b] > last) last = bucket[b];
  if (last < offset) return offset;
  while (!(chain[last - offset] & 1)) ++last;
  return last + 1;
}

struct DynamicTables {
  const ElfW(Sym) *symbols = nullptr;
  const char *strings = nullptr;
  const uint32_t *gnu_hash = nullptr;
  const ElfW(Rela) *plt = nullptr;
  size_t plt_size = 0;
  const ElfW(Rela) *rela = nullptr;
  size_t rela_size = 0;
};

bool ReadDynamic(const dl_phdr_info *info, DynamicTables *t) {
  const ElfW(Dyn) *dynamic = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr +
                                                    info->dlpi_phdr[i].p_vaddr);
  if (dynamic == nullptr) return false;
  ElfW(Addr) base = info->dlpi_addr;
  bool rela_plt = true;
  for (const ElfW(Dyn) *d = dynamic; d->d_tag != DT_NULL; ++d) {
    uintptr_t at = Absolute(d->d_un.d_ptr, base);
    switch (d->d_tag) {
      case DT_SYMTAB:
        t->symbols = reinterpret_cast<const ElfW(Sym) *>(at);
        break;
      case DT_STRTAB:
        t->strings = reinterpret_cast<const char *>(at);
        break;
      case DT_GNU_HASH:
        t->gnu_hash = reinterpret_cast<const uint32_t *>(at);
        break;
      case DT_JMPREL:
        t->plt = reinterpret_cast<const ElfW(Rela) *>(at);
        break;
      case DT_PLTRELSZ:
        t->plt_size = d->d_un.d_val;
        break;
      case DT_PLTREL:
        rela_plt = d->d_un.d_val == DT_RELA;
        break;
      case DT_RELA:
        t->rela = reinterpret_cast<const ElfW(Rela) *>(at);
        break;
      case DT_RELASZ:
        t->rela_size = d->d_un.d_val;
        break;
    }
  }
  if (!rela_plt) t->plt = nullptr;
  return t->symbols != nullptr && t->strings != nullptr;
}

int ByName(const void *a, const void *b) {
  return strcmp(static_cast<const Export *>(a)->name,
                static_cast<const Export *>(b)->name);
}

// This interposer's defined functions, from its own tables; dlopen is
// taken over by a function of its own that it does not export.
int ReadOwnExports(dl_phdr_info *info, size_t, void *self) {
  if (info->dlpi_addr != reinterpret_cast<ElfW(Addr)>(self)) return 0;
  DynamicTables t;
  if (!ReadDynamic(info, &t) || t.gnu_hash == nullptr) return 1;
  size_t count = SymbolCount(t.gnu_hash);
  g_exports[g_export_count++] = {"dlopen",
                                 reinterpret_cast<void *>(AttachedDlopen)};
  for (size_t i = 0; i < count && g_export_count < kMaxExports; ++i) {
    const ElfW(Sym) &s = t.symbols[i];
    if (ELF64_ST_TYPE(s.st_info) != STT_FUNC || s.st_shndx == SHN_UNDEF ||
        strncmp(t.strings + s.st_name, "NQR_", 4) == 0) {
      continue;
    }
    g_exports[g_export_count++] = {
        t.strings + s.st_name,
        reinterpret_cast<void *>(info->dlpi_addr + s.st_value)};
  }
  qsort(g_exports, static_cast<size_t>(g_export_count), sizeof(Export), ByName);
  return 1;
}

void *Replacement(const char *name) {
  Export key = {name, nullptr};
  const void *found =
      bsearch(&key, g_exports, static_cast<size_t>(g_export_count),
              sizeof(Export), ByName);
  return found != nullptr ? static_cast<const Export *>(found)->address
                          : nullptr;
}

Entry *Find(void **slot) {
  for (int i = 0; i < g_entry_count; ++i)
    if (g_entries[i].slot == slot) return &g_entries[i];
  return nullptr;
}

// The modules whose calls stay as they are.
struct Skipped {
  ElfW(Addr) bases[3];  // this interposer, NETQUILL, the C library
};

ElfW(Addr) BaseOf(const void *address) {
  Dl_info where;
  return dladdr(address, &where) != 0
             ? reinterpret_cast<ElfW(Addr)>(where.dli_fbase)
             : 0;
}

// The pages the loader made read-only after relocation, as it rounds
// them: a last page shared with writable data stayed writable, and must.
void RelroRange(const dl_phdr_info *info, uintptr_t *from, uintptr_t *to) {
  *from = *to = 0;
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &p = info->dlpi_phdr[i];
    if (p.p_type != PT_GNU_RELRO) continue;
    *from = (info->dlpi_addr + p.p_vaddr) & ~(page - 1);
    *to = (info->dlpi_addr + p.p_vaddr + p.p_memsz) & ~(page - 1);
  }
}

enum class Mode { kRedirect, kRestore };

struct Walk {
  Mode mode;
  Skipped skipped;
  int changed;
};

void Visit(Walk *walk, const DynamicTables &t, const ElfW(Rela) * r,
           size_t bytes, ElfW(Addr) base) {
  for (size_t n = 0; n < bytes / sizeof *r; ++n, ++r) {
    uint32_t type = static_cast<uint32_t>(ELF64_R_TYPE(r->r_info));
    if (type != kJumpSlot && type != kGlobDat) continue;
    const char *name = t.strings + t.symbols[ELF64_R_SYM(r->r_info)].st_name;
    void *ours = Replacement(name);
    if (ours == nullptr) continue;
    void **slot = reinterpret_cast<void **>(base + r->r_offset);
    Entry *entry = Find(slot);
    if (walk->mode == Mode::kRestore) {
      if (entry != nullptr && *slot == entry->now) {
        __atomic_store_n(slot, entry->before, __ATOMIC_RELEASE);
        ++walk->changed;
      }
      continue;
    }
    if (*slot == ours) continue;
    if (entry == nullptr) {
      if (g_entry_count == kMaxEntries) continue;
      entry = &g_entries[g_entry_count++];
      entry->slot = slot;
    }
    entry->before = *slot;
    entry->now = ours;
    __atomic_store_n(slot, ours, __ATOMIC_RELEASE);
    ++walk->changed;
  }
}

int VisitModule(dl_phdr_info *info, size_t, void *data) {
  Walk *walk = static_cast<Walk *>(data);
  for (ElfW(Addr) skipped : walk->skipped.bases)
    if (info->dlpi_addr == skipped) return 0;
  DynamicTables t;
  if (!ReadDynamic(info, &t)) return 0;
  uintptr_t from, to;
  RelroRange(info, &from, &to);
  void *relro = reinterpret_cast<void *>(from);
  if (to > from && mprotect(relro, to - from, PROT_READ | PROT_WRITE) != 0)
    return 0;
  if (t.plt != nullptr) Visit(walk, t, t.plt, t.plt_size, info->dlpi_addr);
  if (t.rela != nullptr) Visit(walk, t, t.rela, t.rela_size, info->dlpi_addr);
  if (to > from) mprotect(relro, to - from, PROT_READ);
  return 0;
}

int WalkModules(Mode mode) {
  static char self;
  pthread_mutex_lock(&g_lock);
  if (g_export_count == 0)
    dl_iterate_phdr(ReadOwnExports, reinterpret_cast<void *>(BaseOf(&self)));
  Walk walk = {mode,
               {BaseOf(&self), BaseOf(reinterpret_cast<void *>(WSAEnableTrace)),
                BaseOf(NextSymbol("socket"))},
               0};
  dl_iterate_phdr(VisitModule, &walk);
  pthread_mutex_unlock(&g_lock);
  return walk.changed;
}

void *AttachedDlopen(const char *file, int mode) {
  using Fn = void *(*)(const char *, int);
  static const auto real = reinterpret_cast<Fn>(NextSymbol("dlopen"));
  void *handle = real(file, mode);
  if (handle != nullptr && Attached()) RedirectModules();
  return handle;
}

}  // namespace

int RedirectModules() { return WalkModules(Mode::kRedirect); }

void RestoreModules() { WalkModules(Mode::kRestore); }

}  // namespace nqrun
