#!/usr/bin/env python3
"""NQINJECT.DLL and netquill-run.exe, read: imports Windows XP has (the
launcher's and, for NQINJECT.DLL, the library's it builds in), no TLS
directory, no exports, no static constructors in NQINJECT's objects; on
32-bit x86 every replacement of a listed call pops the bytes its
declaration takes (the list of calls as the build wrote it, with the
KERNEL32 calls of calls.h)."""
import argparse, os, re, subprocess, sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../../../tests/support"))
sys.path.insert(0, os.path.join(HERE, "../../../tests/dll"))
from nqtest import calls_table, check, report  # noqa: E402
import pe_file  # noqa: E402
from pe_file import PeFile  # noqa: E402
from check_lean import ALLOWED as LIBRARY_ALLOWED  # noqa: E402

ALLOWED = {
    "KERNEL32.dll": set("""CloseHandle CreateEventW CreateFileW CreateProcessA
        CreateProcessW DisableThreadLibraryCalls
        EnterCriticalSection ExitProcess FreeLibrary GetCommandLineW
        GetCurrentProcess GetCurrentProcessId GetEnvironmentVariableA
        GetEnvironmentVariableW GetExitCodeProcess
        GetFileAttributesW GetFullPathNameA GetLastError GetModuleFileNameW
        GetModuleHandleExW GetModuleHandleW GetProcAddress GetStdHandle
        GetTempPathA GetWindowsDirectoryW InitializeCriticalSection
        LeaveCriticalSection LoadLibraryA LoadLibraryExA LoadLibraryExW
        LoadLibraryW OpenEventW QueueUserAPC ReadFile ResumeThread SearchPathW
        SetConsoleCtrlHandler SetEnvironmentVariableA SetEvent SetFilePointerEx
        SetLastError TlsAlloc TlsGetValue TlsSetValue VirtualAllocEx
        VirtualFreeEx VirtualProtect VirtualQuery WaitForSingleObject
        WideCharToMultiByte WriteFile WriteProcessMemory
        CreateFileMappingW CreateRemoteThread CreateThread
        CreateToolhelp32Snapshot DuplicateHandle GetFileType MapViewOfFile
        OpenFileMappingW OpenProcess Process32FirstW Process32NextW
        UnmapViewOfFile WaitForMultipleObjects Sleep FlushInstructionCache
        GetThreadContext OpenThread SuspendThread Thread32First Thread32Next
        VirtualAlloc FileTimeToLocalFileTime GetSystemTimeAsFileTime
        QueryPerformanceCounter QueryPerformanceFrequency CreateEventA
        GetFileSizeEx RegisterWaitForSingleObject UnregisterWaitEx""".split()),
    "msvcrt.dll": set("""getenv memchr memcmp memcpy memset strcmp strlen
        strncat strncmp wcscmp wcslen""".split()),
}
# NQINJECT.DLL builds the library in: what NETQUILL.DLL may import, it may.
for _dll, _names in LIBRARY_ALLOWED.items():
    ALLOWED[_dll] = ALLOWED[_dll] | _names


def tool(objdump, *args):
    return subprocess.run([objdump] + list(args), capture_output=True,
                          text=True, check=True).stdout


def check_file(path):
    pe = PeFile(path)
    for dll, names in pe.imports.items():
        check(names <= ALLOWED.get(dll, set()), "%s: not allowed from %s: %s"
              % (path, dll, sorted(names - ALLOWED.get(dll, set()))))
    check(not pe.has_tls, "%s has a thread-local storage directory" % path)
    check(not pe.entries, "%s exports functions" % path)


# Sections whose content only a C run-time start-up would run.
CONSTRUCTOR_SECTION = re.compile(r"^\s*\d+\s+(\.ctors\S*|\.init_array\S*|"
                                 r"\.CRT\$XC\S*)\s+([0-9a-f]+)", re.M)


def check_no_constructors(objdump, objects):
    """NQINJECT.DLL's entry point is DllMain itself: a static constructor
    (a table of addresses a cast makes dynamic, say) would never run."""
    for obj in objects:
        for m in CONSTRUCTOR_SECTION.finditer(tool(objdump, "-h", obj)):
            check(int(m.group(2), 16) == 0, "%s: section %s, a static "
                  "constructor that never runs" % (os.path.basename(obj),
                                                   m.group(1)))


def check_stdcall(objdump, objects, table):
    rows = calls_table(table)

    def listed(*lists):
        return [r for r in rows if r["list"] in lists]

    want = {}
    for lib in (0, 1):
        for index, r in enumerate(listed("traced")):
            want["ThunkILi%dELi%dE" % (lib, index)] = int(r["bytes"])
    for r in listed("kernel", "threadpool"):
        want["Nq%sE" % r["name"]] = int(r["bytes"])
    # netquill-run's own entries: a relay per place a program finds the
    # call (Source in inject_state.h: ws2_32, wsock32, mswsock, KERNEL32,
    # a WSAIoctl extension pointer), and the launcher's completion routine.
    sources = {"ws2": (0,), "mswsock": (1, 2, 4), "kernel": (3,),
               "extension": (4,)}
    for index, r in enumerate(listed("winsock2")):
        for source in sources.get(r["lib"], ()):
            want["RelayILi%dELi%dE" % (source, index)] = int(r["bytes"])
        if r["lib"] == "routine":
            want["Nq%sE" % r["name"]] = int(r["bytes"])
    pe_file.check_stdcall(objdump, want, objects=objects)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--table", required=True,
                    help="the list of calls, as the build wrote it")
    ap.add_argument("--objects", required=True, help="NQINJECT's, ;-separated")
    ap.add_argument("files", nargs="+")
    a = ap.parse_args()
    for path in a.files:
        check_file(path)
    check_no_constructors(a.objdump, a.objects.split(";"))
    if "pei-i386" in tool(a.objdump, "-f", a.files[0]):
        check_stdcall(a.objdump, a.objects.split(";"), a.table)
    return report()


if __name__ == "__main__":
    sys.exit(main())
