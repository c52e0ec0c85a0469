"""A small loader and Windows for running a 32-bit DLL in the Unicorn CPU
emulator: maps the sections at a base other than the preferred one and
applies the relocations, binds every import to a stub that behaves as
Windows does where the DLL depends on it (the last error above all), loads
further DLLs as LoadLibrary does (images from an emulated disk, ws2_32.dll
and mswsock.dll as modules of stubs, see ws2_stub.py), gives
each simulated thread its own TEB (reached through FS, via a GDT) with its
TLS slots and last error, and calls DllMain and the exports with stdcall
frames, measuring the stack pointer each leaves behind."""
import os
import struct
import sys

from unicorn import (UC_ARCH_X86, UC_HOOK_CODE, UC_HOOK_MEM_INVALID,
                     UC_MODE_32, Uc, UcError)
from unicorn.x86_const import (UC_X86_REG_CS, UC_X86_REG_DS, UC_X86_REG_EAX,
                               UC_X86_REG_EBP, UC_X86_REG_EBX, UC_X86_REG_EDI,
                               UC_X86_REG_EIP, UC_X86_REG_ES, UC_X86_REG_ESI,
                               UC_X86_REG_ESP, UC_X86_REG_FS, UC_X86_REG_GDTR,
                               UC_X86_REG_GS, UC_X86_REG_SS)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "support"))
from pe_file import PeFile  # noqa: E402
import ws2_stub  # noqa: E402
from ws2_stub import SYSTEM_DLLS  # noqa: E402

PAGE = 0x1000
LOAD_BASE = 0x01000000  # never the preferred base: relocations must apply
MODULE_STEP = 0x01000000  # each further module one step above
SYSTEM_MODULES = 0x71A00000  # handles of the system DLLs made of stubs
STUBS = 0x7F000000  # one 16-byte stub per import
HEAP = 0x10000000
HEAP_SIZE = 0x02000000
STACK = 0x20000000
STACK_SIZE = 0x00100000
TEBS = 0x30000000  # one page per thread
GDT = 0x3F000000
USER = 0x40000000  # what the program's arguments point to
USER_SIZE = 0x00400000
CODE = 0x4F000000  # the program's own code: callbacks, the return stop
RETURN_STOP = CODE  # a call returns here

TEB_SELF = 0x18
TEB_CLIENT_ID = 0x20
TEB_LAST_ERROR = 0x34
TEB_TLS_SLOTS = 0xE10
TLS_SLOTS = 64
TLS_OUT_OF_INDEXES = 0xFFFFFFFF
INVALID_HANDLE_VALUE = 0xFFFFFFFF

ERROR_SUCCESS = 0
ERROR_FILE_NOT_FOUND = 2
ERROR_PATH_NOT_FOUND = 3
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_INVALID_PARAMETER = 87
ERROR_INSUFFICIENT_BUFFER = 122
ERROR_ALREADY_EXISTS = 183
ERROR_NO_MORE_ITEMS = 259

ERROR_MOD_NOT_FOUND = 126
ERROR_PROC_NOT_FOUND = 127
ERROR_ENVVAR_NOT_FOUND = 203
ERROR_DLL_INIT_FAILED = 1114

CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS = 1, 2, 3, 4

SYSTEM_DIRECTORY = "C:\\WINDOWS\\system32"
CALLED_ON = object()  # a stub that sent the CPU on to other code

# The program's callbacks, the shape of WSAGetLastError and WSASetLastError:
# the last error in the calling thread's TEB, through FS.
GET_ERROR_CODE = bytes.fromhex("64a134000000" "c3")
SET_ERROR_CODE = bytes.fromhex("8b442404" "64a334000000" "c20400")


class EmuError(Exception):
    pass


def _gdt_entry(base, limit, access, flags):
    v = limit & 0xFFFF
    v |= (base & 0xFFFFFF) << 16
    v |= (access & 0xFF) << 40
    v |= ((limit >> 16) & 0xF) << 48
    v |= (flags & 0xF) << 52
    v |= ((base >> 24) & 0xFF) << 56
    return struct.pack("<Q", v)


# Access bytes: present, code or data, ring, writable or readable.
A_PRESENT, A_DATA, A_CODE, A_RW = 0x80, 0x10, 0x18, 0x02
A_RING3 = 0x60
F_4K, F_32 = 0x8, 0x4
SEL_FS, SEL_DATA, SEL_CODE, SEL_STACK = 15, 16, 17, 18


class Thread:
    def __init__(self, tid, teb):
        self.tid = tid
        self.teb = teb
        self.alive = True


class Windows:
    """The stubs' side: files, heap, threads, TLS, locks, clock."""

    def __init__(self, emu, files_dir, module_file):
        self.emu = emu
        self.files_dir = files_dir
        self.module_file = module_file
        self.heap_next = HEAP
        self.heap_blocks = {}  # address -> size
        self.fail_allocs_after = None  # the next n allocations work
        self.handles = {}
        self.sections = {}
        self.next_handle = 0x100
        self.tls_used = [False] * TLS_SLOTS
        self.tls_alloc_fails = False
        self.tick = 1000000
        self.tick_step = 15
        self.local_time = (2026, 12, 2, 7, 14, 5, 9, 0)  # y m dow d h m s ms
        self.locks = {}  # critical section address -> (owner, depth)
        self.calls = {}  # import name -> times called
        self.environment = {}  # the process's variables
        self.unsupported = []  # imports called that have no stub

    # -- helpers on the current thread
    def last_error(self):
        return self.emu.read_u32(self.emu.thread.teb + TEB_LAST_ERROR)

    def set_last_error(self, code):
        self.emu.write_u32(self.emu.thread.teb + TEB_LAST_ERROR, code)

    def host_path(self, path):
        # Every path the DLL opens lands in files_dir: relative names as
        # they are, absolute ones by their last component.
        name = path.replace("\\", "/").split("/")[-1]
        if path[:1] in ("\\", "/") or path[1:2] == ":":
            return os.path.join(self.files_dir, name) if name else None
        return os.path.join(self.files_dir, path.replace("\\", "/"))

    # -- KERNEL32
    def GetLastError(self):
        return self.last_error()

    def SetLastError(self, code):
        self.set_last_error(code)
        return 0

    def GetCurrentThreadId(self):
        return self.emu.thread.tid

    def GetCurrentProcessId(self):
        return 0x1F4  # one process, as Windows numbers them

    def GetTickCount(self):
        self.tick = (self.tick + self.tick_step) & 0xFFFFFFFF
        return self.tick

    def GetLocalTime(self, out):
        self.emu.write(out, struct.pack("<8H", *self.local_time))
        return 0

    def GetModuleHandleA(self, name):
        if name == 0:
            return 0x00400000
        self.set_last_error(126)  # ERROR_MOD_NOT_FOUND
        return 0

    def GetModuleHandleW(self, name):
        want = self.emu.read_wstr(name).lower() if name else None
        for m in self.emu.modules:
            if want is None or m.path.lower().rsplit("\\", 1)[-1] == want:
                return m.base
        self.set_last_error(126)  # ERROR_MOD_NOT_FOUND
        return 0

    # The drop-in's call clock (NETQUILL_CALL_TIMES): a counter of 10 MHz
    # that moves by one tick a reading, and a fixed time of day.
    def QueryPerformanceFrequency(self, out):
        self.emu.write(out, struct.pack("<Q", 10000000))
        return 1

    def QueryPerformanceCounter(self, out):
        self.counter = getattr(self, "counter", 0) + 1
        self.emu.write(out, struct.pack("<Q", self.counter))
        return 1

    def GetSystemTimeAsFileTime(self, out):
        self.emu.write(out, struct.pack("<Q", 133000000000000000))
        return 0

    def FileTimeToLocalFileTime(self, system, local):
        self.emu.write(local, self.emu.read(system, 8))
        return 1

    def GetModuleFileNameA(self, module, buf, size):
        text = self.module_file.encode()
        if size == 0:
            self.set_last_error(ERROR_INSUFFICIENT_BUFFER)
            return 0
        if len(text) >= size:
            # XP: cut to size, no terminator; later systems also say so.
            self.emu.write(buf, text[:size])
            self.set_last_error(ERROR_INSUFFICIENT_BUFFER)
            return size
        self.emu.write(buf, text + b"\0")
        # Later systems report success explicitly: a caller that does not
        # keep its code loses it here.
        self.set_last_error(ERROR_SUCCESS)
        return len(text)

    def GetTempPathA(self, size, buf):
        text = b"C:\\TEMP\\"
        if len(text) + 1 > size:
            return len(text) + 1
        self.emu.write(buf, text + b"\0")
        self.set_last_error(ERROR_SUCCESS)
        return len(text)

    def GetProcessHeap(self):
        return 0x00150000

    def HeapAlloc(self, heap, flags, size):
        if self.fail_allocs_after is not None:
            if self.fail_allocs_after == 0:
                return 0  # HeapAlloc does not set the last error
            self.fail_allocs_after -= 1
        size = max(size, 1)
        addr = self.heap_next
        self.heap_next += (size + 15) & ~15
        if self.heap_next > HEAP + HEAP_SIZE:
            return 0
        self.heap_blocks[addr] = size
        # Fresh memory is not zero unless asked for.
        fill = b"\0" if flags & 0x8 else b"\xcd"
        self.emu.write(addr, fill * size)
        return addr

    def HeapFree(self, heap, flags, block):
        if block not in self.heap_blocks:
            self.set_last_error(ERROR_INVALID_PARAMETER)
            raise EmuError("HeapFree of 0x%x, which is no live block" % block)
        size = self.heap_blocks.pop(block)
        self.emu.write(block, b"\xdd" * size)
        return 1

    def InitializeCriticalSection(self, cs):
        self.locks[cs] = (0, 0)
        return 0

    def DeleteCriticalSection(self, cs):
        owner, depth = self.locks.pop(cs, (0, 0))
        if depth:
            raise EmuError("critical section deleted while held")
        return 0

    def EnterCriticalSection(self, cs):
        if cs not in self.locks:
            raise EmuError("EnterCriticalSection on 0x%x, never made" % cs)
        owner, depth = self.locks[cs]
        if depth and owner != self.emu.thread.tid:
            raise EmuError("critical section held by thread %d" % owner)
        self.locks[cs] = (self.emu.thread.tid, depth + 1)
        return 0

    def LeaveCriticalSection(self, cs):
        owner, depth = self.locks.get(cs, (0, 0))
        if depth == 0 or owner != self.emu.thread.tid:
            raise EmuError("LeaveCriticalSection without Enter")
        self.locks[cs] = (owner if depth > 1 else 0, depth - 1)
        return 0

    def held_locks(self):
        return [cs for cs, (o, d) in self.locks.items() if d]

    def SwitchToThread(self):
        return 0

    def TlsAlloc(self):
        if self.tls_alloc_fails or all(self.tls_used):
            self.set_last_error(ERROR_NO_MORE_ITEMS)
            return TLS_OUT_OF_INDEXES
        index = self.tls_used.index(False)
        self.tls_used[index] = True
        for t in self.emu.threads:
            self.emu.write_u32(t.teb + TEB_TLS_SLOTS + 4 * index, 0)
        return index

    def TlsFree(self, index):
        if index >= TLS_SLOTS or not self.tls_used[index]:
            self.set_last_error(ERROR_INVALID_PARAMETER)
            return 0
        self.tls_used[index] = False
        for t in self.emu.threads:  # the system clears it in every thread
            self.emu.write_u32(t.teb + TEB_TLS_SLOTS + 4 * index, 0)
        return 1

    def TlsGetValue(self, index):
        if index >= TLS_SLOTS or not self.tls_used[index]:
            self.set_last_error(ERROR_INVALID_PARAMETER)
            return 0
        # Windows clears the last error when the call succeeds, so that a
        # stored null can be told from a failure.
        self.set_last_error(ERROR_SUCCESS)
        return self.emu.read_u32(self.emu.thread.teb + TEB_TLS_SLOTS +
                                 4 * index)

    def TlsSetValue(self, index, value):
        if index >= TLS_SLOTS or not self.tls_used[index]:
            self.set_last_error(ERROR_INVALID_PARAMETER)
            return 0
        self.emu.write_u32(self.emu.thread.teb + TEB_TLS_SLOTS + 4 * index,
                           value)
        return 1

    def CreateFileA(self, name, access, share, security, disposition, flags,
                    template):
        path = self.host_path(self.emu.read_cstr(name).decode("latin-1"))
        if path is None or not os.path.isdir(os.path.dirname(path)):
            self.set_last_error(ERROR_PATH_NOT_FOUND)
            return INVALID_HANDLE_VALUE
        exists = os.path.exists(path)
        if disposition == OPEN_EXISTING and not exists:
            self.set_last_error(ERROR_FILE_NOT_FOUND)
            return INVALID_HANDLE_VALUE
        if disposition not in (OPEN_ALWAYS, OPEN_EXISTING, CREATE_ALWAYS):
            raise EmuError("CreateFileA disposition %d" % disposition)
        mode = "r+b" if exists and disposition != CREATE_ALWAYS else "w+b"
        f = open(path, mode)
        handle = self.next_handle
        self.next_handle += 4
        self.handles[handle] = {"file": f, "access": access, "path": path}
        # OPEN_ALWAYS and CREATE_ALWAYS on an existing file succeed with
        # ERROR_ALREADY_EXISTS; otherwise the error is cleared.
        self.set_last_error(ERROR_ALREADY_EXISTS if exists and disposition in (
            OPEN_ALWAYS, CREATE_ALWAYS) else ERROR_SUCCESS)
        return handle

    def WriteFile(self, handle, data, size, written, overlapped):
        h = self.handles.get(handle)
        if h is None:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        f = h["file"]
        FILE_APPEND_DATA, FILE_WRITE_DATA = 0x4, 0x2
        if h["access"] & FILE_APPEND_DATA and not h["access"] & FILE_WRITE_DATA:
            f.seek(0, os.SEEK_END)
        f.write(self.emu.read(data, size))
        f.flush()
        if written:
            self.emu.write_u32(written, size)
        return 1

    def GetFileType(self, handle):
        if handle not in self.handles:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0  # FILE_TYPE_UNKNOWN
        return 1  # FILE_TYPE_DISK: the emulator opens plain files only

    def GetFileInformationByHandle(self, handle, info):
        h = self.handles.get(handle)
        if h is None:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        # BY_HANDLE_FILE_INFORMATION: the volume's serial number at 28, the
        # file index at 44 (high) and 48 (low), from the host file's identity.
        st = os.fstat(h["file"].fileno())
        self.emu.write(info, b"\0" * 52)
        self.emu.write_u32(info + 28, st.st_dev & 0xFFFFFFFF)
        self.emu.write_u32(info + 44, (st.st_ino >> 32) & 0xFFFFFFFF)
        self.emu.write_u32(info + 48, st.st_ino & 0xFFFFFFFF)
        return 1

    def LockFileEx(self, handle, flags, reserved, low, high, overlapped):
        h = self.handles.get(handle)
        if h is None:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        # Windows locks a byte range only through a handle that may read or
        # write the data itself: one opened for appending alone is refused.
        FILE_READ_DATA, FILE_WRITE_DATA, GENERIC_READ, GENERIC_WRITE = (
            0x1, 0x2, 0x80000000, 0x40000000)
        if not h["access"] & (FILE_READ_DATA | FILE_WRITE_DATA |
                              GENERIC_READ | GENERIC_WRITE):
            self.set_last_error(ERROR_ACCESS_DENIED)
            return 0
        return 1

    def UnlockFileEx(self, handle, reserved, low, high, overlapped):
        if handle not in self.handles:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        return 1

    def CloseHandle(self, handle):
        h = self.handles.get(handle)
        if h is None or h.get("protected"):
            # Windows refuses to close a handle protected from closing.
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        del self.handles[handle]
        if h["file"] is not None:
            h["file"].close()
        return 1

    HANDLE_FLAG_PROTECT_FROM_CLOSE = 2

    def SetHandleInformation(self, handle, mask, flags):
        h = self.handles.get(handle)
        if h is None:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        if mask & self.HANDLE_FLAG_PROTECT_FROM_CLOSE:
            h["protected"] = bool(flags & self.HANDLE_FLAG_PROTECT_FROM_CLOSE)
        return 1

    def GetHandleInformation(self, handle, flags):
        h = self.handles.get(handle)
        if h is None:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        self.emu.write_u32(flags, self.HANDLE_FLAG_PROTECT_FROM_CLOSE
                           if h.get("protected") else 0)
        return 1

    def CreateFileMappingA(self, file, security, protect, high, low, name):
        # Named memory of the paging file only, shared by name within the
        # one emulated process.
        if file != INVALID_HANDLE_VALUE or high or not name:
            raise EmuError("CreateFileMappingA of a file or without a name")
        key = self.emu.read_cstr(name)
        if key not in self.sections:
            self.sections[key] = self.emu.alloc(b"\0" * low)
        handle = self.next_handle
        self.next_handle += 4
        self.handles[handle] = {"file": None, "access": 0,
                                "section": self.sections[key]}
        return handle

    def MapViewOfFile(self, section, access, high, low, size):
        h = self.handles.get(section)
        if h is None or "section" not in h:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        return h["section"]

    # -- KERNEL32: the environment and the loader, as a DLL that loads
    # others by full path sees them
    def GetEnvironmentVariableA(self, name, buf, size):
        value = self.environment.get(self.emu.read_cstr(name).decode())
        if value is None:
            self.set_last_error(ERROR_ENVVAR_NOT_FOUND)
            return 0
        value = value.encode("latin-1")
        if len(value) + 1 > size:
            return len(value) + 1  # the size needed, terminator included
        self.emu.write(buf, value + b"\0")
        return len(value)

    def GetSystemDirectoryW(self, buf, size):
        text = SYSTEM_DIRECTORY.encode("utf-16-le")
        if len(SYSTEM_DIRECTORY) + 1 > size:
            return len(SYSTEM_DIRECTORY) + 1
        self.emu.write(buf, text + b"\0\0")
        return len(SYSTEM_DIRECTORY)

    def GetModuleFileNameW(self, module, buf, size):
        m = self.emu.module_at(module) if module else None
        if module and m is None:
            self.set_last_error(ERROR_MOD_NOT_FOUND)
            return 0
        text = (m.path if m else self.module_file).encode("utf-16-le")
        n = len(text) // 2
        if n >= size:
            # XP: cut to size, no terminator; later systems also say so.
            self.emu.write(buf, text[:2 * size])
            self.set_last_error(ERROR_INSUFFICIENT_BUFFER)
            return size
        self.emu.write(buf, text + b"\0\0")
        self.set_last_error(ERROR_SUCCESS)
        return n

    def LoadLibraryW(self, name):
        return self.emu.load_library(name, 1)

    def LoadLibraryExW(self, name, file, flags):
        if file or flags & ~0x8:  # LOAD_WITH_ALTERED_SEARCH_PATH alone
            raise EmuError("LoadLibraryExW flags 0x%x" % flags)
        return self.emu.load_library(name, 3)

    def GetProcAddress(self, module, name):
        m = self.emu.module_at(module)
        if m is None:
            self.set_last_error(ERROR_MOD_NOT_FOUND)
            return 0
        if name < 0x10000:
            addr = m.exports_by_ordinal.get(name)
        else:
            addr = m.exports_by_name.get(self.emu.read_cstr(name).decode())
        if addr is None:
            self.set_last_error(ERROR_PROC_NOT_FOUND)
            return 0
        return addr

    def DisableThreadLibraryCalls(self, module):
        m = self.emu.module_at(module)
        if m is None or m.pe is None:
            self.set_last_error(ERROR_INVALID_HANDLE)
            return 0
        m.thread_calls = False
        return 1

    def FatalAppExitA(self, action, text):
        raise EmuError("FatalAppExitA: %s" % self.emu.read_cstr(text))

    # -- msvcrt (cdecl)
    def memcpy(self, dst, src, n):
        if n:
            self.emu.write(dst, self.emu.read(src, n))
        return dst

    memmove = memcpy

    def memset(self, dst, c, n):
        if n:
            self.emu.write(dst, bytes([c & 0xFF]) * n)
        return dst

    def memchr(self, s, c, n):
        # As C has it: the bytes are read in order and the search stops at
        # the first match, so a length past the object's end is no fault
        # when a match comes first (strnlen over a short string).
        want, at = bytes([c & 0xFF]), 0
        while at < n:
            # Up to the next 64-byte boundary: never across a page.
            chunk = min(n - at, 64 - (s + at) % 64)
            found = self.emu.read(s + at, chunk).find(want)
            if found >= 0:
                return s + at + found
            at += chunk
        return 0

    def memcmp(self, a, b, n):
        x, y = self.emu.read(a, n), self.emu.read(b, n)
        return 0 if x == y else (1 if x > y else 0xFFFFFFFF)

    def strlen(self, s):
        return len(self.emu.read_cstr(s))

    def strchr(self, s, c):
        text = self.emu.read_cstr(s) + b"\0"
        at = text.find(bytes([c & 0xFF]))
        return 0 if at < 0 else s + at

    def strrchr(self, s, c):
        text = self.emu.read_cstr(s) + b"\0"
        at = text.rfind(bytes([c & 0xFF]))
        return 0 if at < 0 else s + at

    def strcmp(self, a, b):
        x, y = self.emu.read_cstr(a), self.emu.read_cstr(b)
        return 0 if x == y else (1 if x > y else 0xFFFFFFFF)

    def strncmp(self, a, b, n):
        x, y = self.emu.read_cstr(a)[:n], self.emu.read_cstr(b)[:n]
        return 0 if x == y else (1 if x > y else 0xFFFFFFFF)

    def strcpy(self, dst, src):
        self.emu.write(dst, self.emu.read_cstr(src) + b"\0")
        return dst

    def wcslen(self, s):
        return len(self.emu.read_wstr(s))

    def strncpy(self, dst, src, n):
        text = self.emu.read_cstr(src)[:n]
        self.emu.write(dst, text + b"\0" * (n - len(text)))
        return dst


# Argument counts of the stdcall imports (the stub pops 4 bytes each);
# msvcrt's functions are cdecl and pop nothing.
KERNEL32_ARGS = {
    "CloseHandle": 1, "CreateFileA": 7, "DeleteCriticalSection": 1,
    "EnterCriticalSection": 1, "GetCurrentProcessId": 0,
    "GetCurrentThreadId": 0, "GetFileType": 1, "GetFileInformationByHandle": 2,
    "GetLastError": 0, "GetLocalTime": 1, "GetModuleFileNameA": 3,
    "GetModuleHandleA": 1,
    "GetProcessHeap": 0, "GetTempPathA": 2, "GetTickCount": 0,
    "HeapAlloc": 3, "HeapFree": 3, "InitializeCriticalSection": 1,
    "LeaveCriticalSection": 1, "LockFileEx": 6, "SetLastError": 1,
    "SwitchToThread": 0, "TlsAlloc": 0, "TlsFree": 1, "TlsGetValue": 1,
    "TlsSetValue": 2, "UnlockFileEx": 5, "WriteFile": 5,
    "GetEnvironmentVariableA": 3, "GetSystemDirectoryW": 2,
    "GetModuleFileNameW": 3, "LoadLibraryW": 1, "LoadLibraryExW": 3,
    "GetProcAddress": 2, "DisableThreadLibraryCalls": 1, "FatalAppExitA": 2,
    "CreateFileMappingA": 6, "MapViewOfFile": 5, "SetHandleInformation": 3,
    "GetHandleInformation": 2, "GetModuleHandleW": 1,
    "QueryPerformanceFrequency": 1, "QueryPerformanceCounter": 1,
    "GetSystemTimeAsFileTime": 1, "FileTimeToLocalFileTime": 2,
}
MSVCRT_ARGS = {
    "memcpy": 3, "memmove": 3, "memset": 3, "memchr": 3, "memcmp": 3,
    "strlen": 1, "strchr": 2, "strrchr": 2, "strcmp": 2, "strncmp": 3,
    "strcpy": 2, "strncpy": 3, "wcslen": 1,
}


class Module:
    """A loaded DLL: an image mapped from its file, or a system DLL whose
    exports are stubs (pe None)."""

    def __init__(self, path, base, pe=None):
        self.path = path
        self.base = base
        self.pe = pe
        self.entry = None
        self.size = 0  # bytes mapped for its image
        self.relocations = 0
        self.imports = {}
        self.exports_by_name = {}
        self.exports_by_ordinal = {}
        self.thread_calls = True  # DllMain told of threads
        self.loads = 1


class Emulator:
    """One process with the DLL loaded: new_process() is a fresh one."""

    def __init__(self, dll_bytes, files_dir,
                 module_file="C:\\tests\\nq_script.exe",
                 dll_path="C:\\tests\\NETQUILL.DLL", disk=None):
        self.uc = Uc(UC_ARCH_X86, UC_MODE_32)
        self.threads = []
        self.thread = None
        self.next_tid = 0x104
        self.win = Windows(self, files_dir, module_file)
        self.user_next = USER
        self.stubs = {}  # address -> (dll, name, argc or None, target)
        self.next_stub = STUBS
        self.fault = None
        self.measured = []  # (what, esp moved, expected)
        self.callback_calls = {"get": 0, "set": 0}
        # The files LoadLibrary finds: Windows path (any case) -> bytes.
        self.disk = {k.lower(): v for k, v in (disk or {}).items()}
        self.disk[dll_path.lower()] = dll_bytes
        self.modules = []  # in load order
        self.next_base = LOAD_BASE
        self.attaching = []  # modules whose DllMain runs
        self.ws2 = ws2_stub.Ws2(self)
        self._map()
        self._segments()
        self.after_attach = {n: self._stub("", "AfterAttach", 0, self, (
            b"\xc2" + struct.pack("<H", 4 * n))) for n in (1, 3)}
        first = self._load(dll_path, dll_bytes)
        self.pe, self.base, self.entry = first.pe, first.base, first.entry
        self.image_size = first.size
        self.relocations, self.imports = first.relocations, first.imports
        self.exports_by_name = first.exports_by_name
        self.exports_by_ordinal = first.exports_by_ordinal
        self.main = self.new_thread(attach=False)

    # -- memory
    def read(self, addr, n):
        return bytes(self.uc.mem_read(addr, n))

    def write(self, addr, data):
        self.uc.mem_write(addr, bytes(data))

    def read_u32(self, addr):
        return struct.unpack("<I", self.read(addr, 4))[0]

    def write_u32(self, addr, value):
        self.write(addr, struct.pack("<I", value & 0xFFFFFFFF))

    def read_wstr(self, addr, limit=1 << 15):
        out = bytearray()
        while len(out) < 2 * limit:
            unit = self.read(addr + len(out), 2)
            if unit == b"\0\0":
                return out.decode("utf-16-le")
            out += unit
        raise EmuError("unterminated string at 0x%x" % addr)

    def read_cstr(self, addr, limit=1 << 16):
        out = bytearray()
        while len(out) < limit:
            chunk = self.read(addr + len(out), 64)
            end = chunk.find(b"\0")
            if end >= 0:
                out += chunk[:end]
                return bytes(out)
            out += chunk
        raise EmuError("unterminated string at 0x%x" % addr)

    def alloc(self, data):
        """Program memory holding data; returns its address."""
        data = bytes(data)
        addr = self.user_next
        self.user_next += (len(data) + 16) & ~15
        if self.user_next > USER + USER_SIZE:
            raise EmuError("program memory exhausted")
        self.write(addr, data)
        return addr

    def _map(self):
        for base, size in ((STUBS, 0x10000), (HEAP, HEAP_SIZE),
                           (STACK, STACK_SIZE), (TEBS, 0x200000), (GDT, PAGE),
                           (USER, USER_SIZE), (CODE, PAGE)):
            self.uc.mem_map(base, size)
        self.write(RETURN_STOP, b"\xf4")  # never run: the emulation stops
        self.get_error = CODE + 0x10
        self.set_error = CODE + 0x20
        self.write(self.get_error, GET_ERROR_CODE)
        self.write(self.set_error, SET_ERROR_CODE)
        self.uc.hook_add(UC_HOOK_CODE, self._on_stub, begin=STUBS,
                         end=STUBS + 0xFFFF)
        self.uc.hook_add(UC_HOOK_CODE, self._on_callback, begin=CODE + 0x10,
                         end=CODE + 0x2F)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, self._on_fault)

    def _segments(self):
        flat = 0xFFFFF
        self.write(GDT + 8 * SEL_DATA, _gdt_entry(
            0, flat, A_PRESENT | A_DATA | A_RW | A_RING3, F_4K | F_32))
        self.write(GDT + 8 * SEL_CODE, _gdt_entry(
            0, flat, A_PRESENT | A_CODE | A_RW | A_RING3, F_4K | F_32))
        self.write(GDT + 8 * SEL_STACK, _gdt_entry(
            0, flat, A_PRESENT | A_DATA | A_RW, F_4K | F_32))
        self.uc.reg_write(UC_X86_REG_GDTR, (0, GDT, 8 * 32 - 1, 0))
        data = SEL_DATA << 3 | 3
        self.uc.reg_write(UC_X86_REG_DS, data)
        self.uc.reg_write(UC_X86_REG_ES, data)
        self.uc.reg_write(UC_X86_REG_GS, data)
        self.uc.reg_write(UC_X86_REG_CS, SEL_CODE << 3 | 3)
        self.uc.reg_write(UC_X86_REG_SS, SEL_STACK << 3)

    def _point_fs(self, teb):
        # FS is the thread's TEB: its GDT entry is rewritten and reloaded.
        self.write(GDT + 8 * SEL_FS, _gdt_entry(
            teb, PAGE - 1, A_PRESENT | A_DATA | A_RW | A_RING3, F_32))
        self.uc.reg_write(UC_X86_REG_FS, SEL_FS << 3 | 3)

    def _stub(self, dll, name, argc, target, code):
        addr = self.next_stub
        self.next_stub += 16
        if self.next_stub > STUBS + 0x10000:
            raise EmuError("no room for another stub")
        self.write(addr, code)
        self.stubs[addr] = (dll, name, argc, target)
        return addr

    def _load(self, path, data):
        """Maps one DLL image, relocated and with its imports bound, as the
        next module; DllMain is not called."""
        pe = PeFile(data=data).pe
        opt = pe.OPTIONAL_HEADER
        m = Module(path, self.next_base, pe)
        self.next_base += MODULE_STEP
        if m.base == opt.ImageBase:
            raise EmuError("load base equals the preferred base")
        size = (opt.SizeOfImage + PAGE - 1) & ~(PAGE - 1)
        m.size = size
        self.uc.mem_map(m.base, size)
        data = pe.__data__
        self.write(m.base, data[:opt.SizeOfHeaders])
        for s in pe.sections:
            raw = data[s.PointerToRawData:s.PointerToRawData +
                       min(s.SizeOfRawData, s.Misc_VirtualSize or
                           s.SizeOfRawData)]
            self.write(m.base + s.VirtualAddress, raw)
        delta = (m.base - opt.ImageBase) & 0xFFFFFFFF
        for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                if entry.type == 3:  # IMAGE_REL_BASED_HIGHLOW
                    at = m.base + entry.rva
                    self.write_u32(at, self.read_u32(at) + delta)
                    m.relocations += 1
                elif entry.type != 0:
                    raise EmuError("relocation type %d" % entry.type)
        missing = []
        for desc in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = desc.dll.decode()
            for imp in desc.imports:
                name = imp.name.decode() if imp.name else "#%d" % imp.ordinal
                if dll.upper() == "KERNEL32.DLL":
                    argc = KERNEL32_ARGS.get(name)
                    code = (b"\xc2" + struct.pack("<H", 4 * argc)
                            if argc is not None else b"\xf4")
                elif dll.lower() == "msvcrt.dll":
                    argc = MSVCRT_ARGS.get(name)
                    code = b"\xc3" if argc is not None else b"\xf4"
                else:
                    argc, code = None, b"\xf4"
                if argc is None:
                    missing.append("%s!%s" % (dll, name))
                stub = self._stub(dll, name, argc, self.win, code)
                m.imports.setdefault(dll, []).append(name)
                self.write_u32(m.base + imp.address - opt.ImageBase, stub)
        if missing:
            # As a system loader refuses a module that imports what the
            # system lacks, this one refuses what it has no stub for: the
            # stubs are the DLL's short list of XP functions.
            raise EmuError("the load fails: %d imports without a stub (%s)"
                           % (len(missing), ", ".join(missing[:8])))
        for sym in pe.DIRECTORY_ENTRY_EXPORT.symbols:
            addr = m.base + sym.address
            m.exports_by_ordinal[sym.ordinal] = addr
            if sym.name:
                m.exports_by_name[sym.name.decode()] = addr
        m.entry = m.base + opt.AddressOfEntryPoint
        self.modules.append(m)
        return m

    # -- the loader: LoadLibrary as Windows answers it
    def module_at(self, handle):
        for m in self.modules:
            if m.base == handle:
                return m
        return None

    def load_library(self, name_ptr, argc):
        """LoadLibraryW/ExW: a module already loaded gains a reference; a
        system DLL of the stubs (ws2_32.dll, mswsock.dll) comes from the
        system directory; a DLL image on the disk is mapped and its
        DllMain run on the calling thread before the call returns."""
        name = self.read_wstr(name_ptr) if name_ptr else ""
        if not name:
            self.win.set_last_error(ERROR_INVALID_PARAMETER)
            return 0
        path = name.replace("/", "\\")
        if "\\" not in path:  # the program's directory, then the system's
            app = self.win.module_file.rsplit("\\", 1)[0]
            found = [d + "\\" + path for d in (app, SYSTEM_DIRECTORY)
                     if (d + "\\" + path).lower() in self.disk or
                     d == SYSTEM_DIRECTORY and path.lower() in SYSTEM_DLLS]
            path = found[0] if found else path
        for m in self.modules:
            if m.path.lower() == path.lower():
                m.loads += 1
                return m.base
        sysdir, _, base_name = path.rpartition("\\")
        if sysdir.lower() == SYSTEM_DIRECTORY.lower() and \
                base_name.lower() in SYSTEM_DLLS:
            return self._system_module(path, SYSTEM_DLLS[base_name.lower()])
        data = self.disk.get(path.lower())
        if data is None:
            self.win.set_last_error(ERROR_MOD_NOT_FOUND)
            return 0
        m = self._load(path, data)
        # DllMain(module, DLL_PROCESS_ATTACH, 0) runs next, then returns
        # through AfterAttach into the caller as LoadLibrary would.
        esp = self.uc.reg_read(UC_X86_REG_ESP) - 16
        self.write(esp, struct.pack("<4I", self.after_attach[argc], m.base,
                                    1, 0))
        self.uc.reg_write(UC_X86_REG_ESP, esp)
        self.uc.reg_write(UC_X86_REG_EIP, m.entry)
        self.attaching.append(m)
        return CALLED_ON

    def AfterAttach(self):
        m = self.attaching.pop()
        if self.uc.reg_read(UC_X86_REG_EAX):
            return m.base
        self.modules.remove(m)  # the load fails when DllMain does
        self.win.set_last_error(ERROR_DLL_INIT_FAILED)
        return 0

    def _system_module(self, path, exports):
        m = Module(path, SYSTEM_MODULES + 0x10000 * len(self.modules))
        for name, argc in exports.items():
            m.exports_by_name[name] = self._stub(
                path.rpartition("\\")[2], name, argc, self.ws2,
                b"\xc2" + struct.pack("<H", 4 * argc))
        self.modules.append(m)
        return m.base

    # -- hooks
    def _on_stub(self, uc, address, size, user):
        dll, name, argc, target = self.stubs[address]
        self.win.calls[name] = self.win.calls.get(name, 0) + 1
        fn = getattr(target, name, None) if argc is not None else None
        if fn is None:
            self.win.unsupported.append("%s!%s" % (dll, name))
            self.fault = "called %s!%s, which this Windows lacks" % (dll, name)
            uc.emu_stop()
            return
        esp = uc.reg_read(UC_X86_REG_ESP)
        args = struct.unpack("<%dI" % argc, self.read(esp + 4, 4 * argc))
        try:
            result = fn(*args)
        except EmuError as e:
            self.fault = "%s: %s" % (name, e)
            uc.emu_stop()
            return
        if result is not CALLED_ON:
            uc.reg_write(UC_X86_REG_EAX, (result or 0) & 0xFFFFFFFF)

    def _on_callback(self, uc, address, size, user):
        if address == self.get_error:
            self.callback_calls["get"] += 1
        elif address == self.set_error:
            self.callback_calls["set"] += 1

    def _on_fault(self, uc, access, address, size, value, user):
        self.fault = "memory fault at 0x%x (eip 0x%x)" % (
            address, uc.reg_read(UC_X86_REG_EIP))
        return False

    # -- threads
    def new_thread(self, attach=True):
        index = len(self.threads)
        teb = TEBS + index * PAGE
        if teb >= TEBS + 0x200000:
            raise EmuError("too many threads")
        t = Thread(self.next_tid, teb)
        self.next_tid += 4
        self.write(teb, b"\0" * PAGE)
        self.write_u32(teb + TEB_SELF, teb)
        self.write_u32(teb + TEB_CLIENT_ID, 0x20)
        self.write_u32(teb + TEB_CLIENT_ID + 4, t.tid)
        self.threads.append(t)
        self.switch(t)
        if attach:
            self.tell_modules(2)  # DLL_THREAD_ATTACH
        return t

    def end_thread(self, t):
        self.switch(t)
        self.tell_modules(3)  # DLL_THREAD_DETACH
        t.alive = False

    def switch(self, t):
        if not t.alive:
            raise EmuError("thread %d has ended" % t.tid)
        self.thread = t
        self._point_fs(t.teb)

    def last_error(self):
        return self.win.last_error()

    def set_last_error(self, code):
        self.win.set_last_error(code)

    # -- calls
    def call(self, addr, args, what):
        """Calls the stdcall function at addr on the current thread; returns
        EAX. Records how far ESP moved against 4 + 4 x argument count, and
        checks that the callee-saved registers came back."""
        esp = STACK + STACK_SIZE - 256
        for a in reversed(args):
            esp -= 4
            self.write_u32(esp, a)
        esp -= 4
        self.write_u32(esp, RETURN_STOP)
        saved = {UC_X86_REG_EBX: 0x0B0B0B0B, UC_X86_REG_ESI: 0x05050505,
                 UC_X86_REG_EDI: 0x0D0D0D0D, UC_X86_REG_EBP: 0x0E0E0E0E}
        for reg, value in saved.items():
            self.uc.reg_write(reg, value)
        self.uc.reg_write(UC_X86_REG_ESP, esp)
        self.fault = None
        try:
            self.uc.emu_start(addr, RETURN_STOP, count=20000000)
        except UcError as e:
            if self.fault is None:
                self.fault = "%s (eip 0x%x)" % (
                    e, self.uc.reg_read(UC_X86_REG_EIP))
        if self.fault is None and self.uc.reg_read(UC_X86_REG_EIP) != \
                RETURN_STOP:
            self.fault = "did not return (eip 0x%x)" % self.uc.reg_read(
                UC_X86_REG_EIP)
        if self.fault is not None:
            raise EmuError("%s: %s" % (what, self.fault))
        moved = self.uc.reg_read(UC_X86_REG_ESP) - esp
        self.measured.append((what, moved, 4 + 4 * len(args)))
        for reg, value in saved.items():
            if self.uc.reg_read(reg) != value:
                raise EmuError("%s: a callee-saved register changed" % what)
        held = self.win.held_locks()
        if held:
            raise EmuError("%s: returned holding a lock" % what)
        return self.uc.reg_read(UC_X86_REG_EAX)

    def tell_modules(self, reason):
        for m in self.modules:
            if m.pe is not None and m.thread_calls:
                self.call(m.entry, [m.base, reason, 0], "DllMain(%d) of %s"
                          % (reason, m.path))

    def counted_call(self, addr, args, what):
        """call(), counting the instructions run inside the DLL's image
        (neither the import stubs nor the program's callbacks) and the
        import calls made; returns (EAX, instructions, import calls)."""
        counted = [0]

        def on_instruction(uc, address, size, user):
            counted[0] += 1

        hook = self.uc.hook_add(UC_HOOK_CODE, on_instruction, begin=self.base,
                                end=self.base + self.image_size - 1)
        imports = sum(self.win.calls.values())
        try:
            result = self.call(addr, args, what)
        finally:
            self.uc.hook_del(hook)
        return result, counted[0], sum(self.win.calls.values()) - imports

    def dll_main(self, reason, reserved=0):
        return self.call(self.entry, [self.base, reason, reserved],
                         "DllMain(%d)" % reason)

    def export(self, name_or_ordinal):
        if isinstance(name_or_ordinal, int):
            return self.exports_by_ordinal[name_or_ordinal]
        return self.exports_by_name[name_or_ordinal]
