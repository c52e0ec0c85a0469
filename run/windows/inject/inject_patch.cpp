// Walks the loaded images and rewrites the import address table entries of
// the traced socket calls and the watched KERNEL32 calls.
//
// The Windows directory's DLLs keep their socket calls: they are the
// system's own (ws2_32.dll itself, wsock32.dll, the name service and HTTP
// libraries), whose internal socket use a person debugging a program does
// not look for, and which would otherwise call back into the tracer from
// inside the socket library. Only their CreateProcess calls are taken, so
// that a child started through the C run time's system() or the shell is
// traced too. The program's own modules, wherever they lie, are patched
// whole, also the DLLs it ships beside itself.
#include "inject_patch.h"

#include "entries/held_file_win32.h"

#include <string.h>

#include "inject_inline.h"

namespace nqinj {
namespace {

// Held only around each rewrite of one entry: two threads must not both
// change and restore one page's protection. No loader call is made under
// it, so it never waits on the loader lock while a loading thread waits
// on it.
CRITICAL_SECTION g_write_lock;
LONG g_write_lock_made;

void MakeWriteLock() {
  // Made on the first patch, in DllMain, before any other thread patches.
  if (g_write_lock_made == 0) {
    InitializeCriticalSection(&g_write_lock);
    g_write_lock_made = 1;
  }
}

wchar_t Lower(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameNameA(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (Lower(static_cast<unsigned char>(*a)) !=
        Lower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

bool StartsWithW(const wchar_t *text, const wchar_t *prefix) {
  for (; *prefix != L'\0'; ++text, ++prefix)
    if (Lower(*text) != Lower(*prefix)) return false;
  return true;
}

bool SameNameW(const wchar_t *a, const wchar_t *b) {
  return StartsWithW(a, b) && a[wcslen(b)] == L'\0';
}

const wchar_t *FileNameOf(const wchar_t *path) {
  const wchar_t *name = path;
  for (const wchar_t *p = path; *p != L'\0'; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return name;
}

bool IsSystemModule(HMODULE module) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return true;  // unknown: left alone
  const wchar_t *name = FileNameOf(path);
  // A socket library of the program's own (a drop-in WSOCK32.DLL) makes
  // its calls for the program: it is traced where the program calls it.
  if (SameNameW(name, L"ws2_32.dll") || SameNameW(name, L"wsock32.dll") ||
      SameNameW(name, L"mswsock.dll"))
    return true;
  wchar_t windows[MAX_PATH];
  UINT w = GetWindowsDirectoryW(windows, MAX_PATH - 1);
  if (w == 0 || w >= MAX_PATH - 1) return false;
  if (windows[w - 1] != L'\\') {
    windows[w++] = L'\\';
    windows[w] = L'\0';
  }
  return StartsWithW(path, windows);
}

constexpr int kImportKernel32 = -2;
constexpr int kImportKernelBase = -3;

// A socket library, KERNEL32, KERNELBASE (where a newer program may find
// the completion calls), or -1.
int LibOfImport(const char *dll) {
  if (SameNameA(dll, "ws2_32.dll")) return kWs2;
  if (SameNameA(dll, "wsock32.dll")) return kWs1;
  if (SameNameA(dll, "mswsock.dll")) return kMswsock;
  if (SameNameA(dll, "kernel32.dll")) return kImportKernel32;
  if (SameNameA(dll, "kernelbase.dll")) return kImportKernelBase;
  return -1;
}

// Each library's calls beyond the 36, and where the relay finds them.
const W2Lib kW2LibOfLib[kLibs + 1] = {kLib_ws2, kLib_mswsock, kLib_mswsock};
const Source kSourceOfLib[kLibs + 1] = {kFromWs2, kFromWs1, kFromMswsock};

bool LibFound(int lib) {
  return lib == kMswsock ? g_state.mswsock != nullptr
                         : g_state.lib[lib] != nullptr;
}

void WriteEntry(void **entry, void *value) {
  EnterCriticalSection(&g_write_lock);
  DWORD old;
  if (VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old)) {
    *static_cast<void *volatile *>(entry) = value;
    VirtualProtect(entry, sizeof *entry, old, &old);
  }
  LeaveCriticalSection(&g_write_lock);
}

// The replacement for one import, or null. Without a name table (an image
// bound without one) the entry is recognised by the address it holds.
void *ReplacementOf(int lib, const IMAGE_THUNK_DATA *name_entry,
                    const BYTE *base, void *current, bool system) {
  const char *name = nullptr;
  if (name_entry != nullptr) {
    if (IMAGE_SNAP_BY_ORDINAL(name_entry->u1.Ordinal)) {
      name = reinterpret_cast<const char *>(
          static_cast<uintptr_t>(IMAGE_ORDINAL(name_entry->u1.Ordinal)));
    } else {
      name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(
                 base + name_entry->u1.AddressOfData)
                 ->Name;
    }
  }
  bool named = name != nullptr && reinterpret_cast<uintptr_t>(name) > 0xFFFF;
  if (lib == kImportKernel32) {
    if (!named || (system && strncmp(name, "CreateProcess", 13) != 0))
      return nullptr;
    return KernelHookOf(name);
  }
  // Only the completion and thread-pool calls: KERNEL32's own functions
  // import the watched ones from KERNELBASE, and this DLL calls them
  // through KERNEL32.
  if (system) return nullptr;
  if (lib == kImportKernelBase) return named ? KernelBaseHookOf(name) : nullptr;
  return SocketThunkOf(lib, name, current);
}

void PatchImage(const BYTE *base, bool system) {
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
    return;
  const IMAGE_DATA_DIRECTORY &dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return;
  auto desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(
      base + dir.VirtualAddress);
  for (; desc->Name != 0; ++desc) {
    int lib = LibOfImport(reinterpret_cast<const char *>(base + desc->Name));
    if (lib == -1) continue;
    auto entry =
        reinterpret_cast<void **>(const_cast<BYTE *>(base) + desc->FirstThunk);
    auto name_entry = desc->OriginalFirstThunk != 0
                          ? reinterpret_cast<const IMAGE_THUNK_DATA *>(
                                base + desc->OriginalFirstThunk)
                          : nullptr;
    for (; *entry != nullptr; ++entry) {
      void *value = ReplacementOf(lib, name_entry, base, *entry, system);
      if (value != nullptr && *entry != value) WriteEntry(entry, value);
      if (name_entry != nullptr) ++name_entry;
    }
  }
}

// Each image once per walk, held loaded while it is read; images mapped
// as data or resources are not modules and are skipped.
void PatchIfModule(void *base) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          static_cast<LPCWSTR>(base), &module))
    return;
  if (module == base && module != g_state.self)
    PatchImage(static_cast<const BYTE *>(base), IsSystemModule(module));
  FreeLibrary(module);
}

// The modules seen calling a patched entry point, each with whether it is
// one of the system's: base | 1 for the system's, 0 for a free place.
constexpr int kKnownModules = 32;
volatile uintptr_t g_known[kKnownModules];
volatile LONG g_next_known;

}  // namespace

bool CalledFromSystem(const void *address) {
  DWORD error = GetLastError();  // the program's, before the call
  MEMORY_BASIC_INFORMATION info;
  bool known = VirtualQuery(address, &info, sizeof info) == sizeof info &&
               info.Type == MEM_IMAGE;  // else code the program made itself
  SetLastError(error);
  if (!known) return false;
  uintptr_t base = reinterpret_cast<uintptr_t>(info.AllocationBase);
  for (int i = 0; i < kKnownModules; ++i)
    if ((g_known[i] & ~uintptr_t{1}) == base) return (g_known[i] & 1) != 0;
  HMODULE module = static_cast<HMODULE>(info.AllocationBase);
  bool system = module == g_state.self || IsSystemModule(module);
  SetLastError(error);
  ULONG at =
      static_cast<ULONG>(InterlockedIncrement(&g_next_known)) % kKnownModules;
  g_known[at] = base | (system ? 1 : 0);
  return system;
}

void *SocketThunkOf(int lib, const char *name, void *current) {
  if (!LibFound(lib)) return nullptr;
  Source source = kSourceOfLib[lib];
  if (name != nullptr) {
    int call = lib == kMswsock ? -1 : FindCall(lib, name);
    if (call >= 0) return ThunkOf(lib, call);
    return RelayOf(source, FindW2Call(kW2LibOfLib[lib], name));
  }
  for (int c = 0; lib != kMswsock && c < kCalls; ++c)
    if (current == g_state.real[lib][c]) return ThunkOf(lib, c);
  for (int w = 0; w < kW2Calls; ++w)
    if (current != nullptr && current == g_state.w2real[source][w])
      return RelayOf(source, w);
  return nullptr;
}

void PatchAll() {
  DWORD saved = GetLastError();
  nq::NoteLoadedModules();
  MakeWriteLock();
  FindLibs();
  MEMORY_BASIC_INFORMATION info;
  const BYTE *at = nullptr;
  while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
    if (info.Type == MEM_IMAGE && info.BaseAddress == info.AllocationBase)
      PatchIfModule(info.AllocationBase);
    const BYTE *next =
        static_cast<const BYTE *>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;
    at = next;
  }
  SetLastError(saved);
}

}  // namespace nqinj
