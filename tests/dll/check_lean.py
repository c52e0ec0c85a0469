#!/usr/bin/env python3
"""Holds a built NETQUILL.DLL (or, with --dropin, the drop-in WSOCK32.DLL)
to what a small system DLL for every 32-bit
Windows from XP on may be: imports from KERNEL32 and msvcrt only, each on
the list below (all of them present in Windows XP's KERNEL32.dll and
msvcrt.dll), no printf-style function of the C run time, at most
--max-size bytes with at most --max-bss of uninitialised data, an export
table no longer than the highest ordinal of the hooks and the library's own
exports in --calls needs, and library objects without static constructors
(the DLL's entry point runs none) and no TLS directory."""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "support"))
from nqtest import check, report  # noqa: E402
from pe_file import PeFile  # noqa: E402

# Everything the DLL may import. Adding a function here means checking that
# Windows XP (SP0) has it: no GetTickCount64, no thread suspension or
# context calls, no condition variables or slim locks, no *_s functions.
ALLOWED = {
    "KERNEL32.dll": {
        "CloseHandle", "CreateFileA", "CreateFileMappingA",
        "DeleteCriticalSection", "GetHandleInformation", "MapViewOfFile",
        "SetHandleInformation",
        "EnterCriticalSection", "GetCurrentThreadId", "GetFileType", "GetLastError",
        "GetLocalTime", "GetModuleFileNameA", "GetFileInformationByHandle",
        "GetModuleHandleA", "GetProcAddress", "GetProcessHeap", "GetTempPathA", "GetTickCount", "HeapAlloc",
        "HeapFree", "InitializeCriticalSection", "LeaveCriticalSection",
        "LockFileEx", "SetLastError", "SwitchToThread", "TlsAlloc", "TlsFree",
        "TlsGetValue", "TlsSetValue", "UnlockFileEx", "WriteFile",
    },
    # Plain memory and string functions only: the library formats its text
    # itself, so no conversion of XP's msvcrt (which lacks %zd, %lld, %hh)
    # ever sees one of its formats.
    "msvcrt.dll": {
        "memchr", "memcmp", "memcpy", "memmove", "memset", "strchr",
        "strcmp", "strcpy", "strlen", "strncmp", "strncpy", "strrchr",
    },
}

# The drop-in WSOCK32.DLL: the libraries it passes calls to are loaded by
# full path at run time, its settings read from KERNEL32's environment.
ALLOWED_DROPIN = {
    "KERNEL32.dll": {
        "DeleteCriticalSection", "DisableThreadLibraryCalls",
        "EnterCriticalSection", "FatalAppExitA", "GetCurrentProcessId",
        "GetEnvironmentVariableA", "GetLastError", "GetModuleFileNameW",
        "GetProcAddress",
        "GetSystemDirectoryW", "InitializeCriticalSection",
        "LeaveCriticalSection", "LoadLibraryW", "SetLastError", "TlsAlloc",
        "TlsFree", "TlsGetValue", "TlsSetValue",
        # NETQUILL_CALL_TIMES: the call's clock, as NQINJECT.DLL reads it.
        "FileTimeToLocalFileTime", "GetModuleHandleW",
        "GetSystemTimeAsFileTime", "QueryPerformanceCounter",
        "QueryPerformanceFrequency",
    },
    # The line editing and address texts of the views take the library's
    # plain memory and string functions.
    "msvcrt.dll": {"memchr", "memcmp", "memcpy", "memmove", "memset",
                   "strchr", "strcmp", "strcpy", "strlen", "wcslen"},
}

# Sections whose content would be run by a C run-time start-up.
CONSTRUCTOR_SECTIONS = re.compile(r"^\s*\d+\s+(\.ctors\S*|\.init_array\S*|"
                                  r"\.CRT\$XC\S*|\.tls\S*)\s+([0-9a-f]+)",
                                  re.M)


def frozen_ordinals(path):
    """The ordinals NETQUILL.DLL's exports hold: the hooks' and the
    library's own, private ones included, from the table the build wrote
    of the export lists."""
    ordinals = []
    for line in open(path):
        kind, _, ordinal = line.split()[:3]
        if kind in ("traced", "library", "private"):
            ordinals.append(int(ordinal))
    return ordinals


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--core", help="static library of the DLL's objects")
    ap.add_argument("--max-size", type=int, default=0)
    ap.add_argument("--max-bss", type=int, default=0,
                    help="bytes of uninitialised data allowed")
    ap.add_argument("--calls", help="the export lists, as the build wrote "
                    "them: the export table spans their highest ordinal")
    ap.add_argument("--dropin", action="store_true",
                    help="the drop-in WSOCK32.DLL's list of imports")
    ap.add_argument("dll")
    args = ap.parse_args()

    allowed = ALLOWED_DROPIN if args.dropin else ALLOWED
    pe = PeFile(args.dll)
    imports = pe.imports
    check(set(imports) == set(allowed),
          "imports from %s, allowed exactly %s" % (sorted(imports),
                                                   sorted(allowed)))
    count = pe.import_count()
    for dll, names in sorted(imports.items()):
        extra = names - allowed.get(dll, set())
        check(not extra, "%s: not allowed: %s" % (dll, sorted(extra)))
    check(not pe.has_tls, "a TLS directory: run-time start-up code")
    started = [n for n in pe.sections if re.match(r"\.(CRT|tls|ctors)", n)]
    check(not started, "sections of a run-time start-up: %s" % started)

    size = os.path.getsize(args.dll)
    if args.max_size:
        check(size <= args.max_size,
              "%d bytes, at most %d allowed" % (size, args.max_size))

    bss = pe.uninitialised_size
    if args.max_bss:
        check(bss <= args.max_bss, "%d bytes of uninitialised data, at most "
              "%d allowed" % (bss, args.max_bss))
    if args.calls:
        # Every slot up to the highest ordinal costs the file and the
        # loader 4 bytes, an entry or not.
        highest = max(frozen_ordinals(args.calls))
        check(pe.ordinal_base == 1 and pe.export_slots == highest,
              "export table of %r slots from ordinal %r, the exports need "
              "%d" % (pe.export_slots, pe.ordinal_base, highest))

    if args.core:
        headers = subprocess.run([args.objdump, "-h", args.core],
                                 capture_output=True, text=True,
                                 check=True).stdout
        member = None
        for line in headers.splitlines():
            m = re.match(r"^(\S+\.obj):\s+file format", line)
            if m:
                member = m.group(1)
                continue
            m = CONSTRUCTOR_SECTIONS.match(line)
            if m and int(m.group(2), 16) != 0:
                check(False, "%s: section %s (%s bytes): a static "
                      "constructor or thread-local data" %
                      (member, m.group(1), int(m.group(2), 16)))

    return report("%d bytes, %d of uninitialised data, %r export slots, "
                  "%d imports from %s" % (size, bss, pe.export_slots, count,
                                          sorted(imports)))


if __name__ == "__main__":
    sys.exit(main())
