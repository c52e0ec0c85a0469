#!/usr/bin/env python3
"""Checks NQINJECT.DLL and netquill-run.exe without running them: imports
from KERNEL32 and msvcrt only, each one Windows XP has; no thread-local
storage directory and no exports; and on 32-bit x86 that every replacement
of a traced or watched call pops the bytes its Windows declaration takes
(netquill_calls.h, calls.h), as __stdcall requires."""
import argparse, re, subprocess, sys

ALLOWED = {
    "KERNEL32.dll": {
        "CloseHandle", "CreateFileW", "CreateProcessA", "CreateProcessW",
        "CreateRemoteThread", "DisableThreadLibraryCalls",
        "EnterCriticalSection", "ExitProcess", "FreeLibrary",
        "GetCommandLineW", "GetCurrentProcess", "GetCurrentProcessId",
        "GetEnvironmentVariableA", "GetEnvironmentVariableW",
        "GetExitCodeProcess", "GetExitCodeThread", "GetFileAttributesW",
        "GetFullPathNameW", "GetLastError", "GetModuleFileNameW",
        "GetModuleHandleExW", "GetModuleHandleW", "GetProcAddress",
        "GetStdHandle", "GetTempPathA", "GetWindowsDirectoryW",
        "InitializeCriticalSection", "LeaveCriticalSection", "LoadLibraryA",
        "LoadLibraryExA", "LoadLibraryExW", "LoadLibraryW", "ReadFile",
        "ResumeThread", "SearchPathW", "SetEnvironmentVariableW",
        "SetLastError", "TlsAlloc", "TlsGetValue", "TlsSetValue",
        "VirtualAllocEx", "VirtualFreeEx", "VirtualProtect", "VirtualQuery",
        "WaitForSingleObject", "WideCharToMultiByte", "WriteFile",
        "WriteProcessMemory"},
    "msvcrt.dll": {"getenv", "memchr", "memcpy", "memset", "strcmp",
                   "strlen", "strncat", "wcscmp", "wcslen"},
}
failures = []


def check(cond, message):
    if not cond:
        failures.append(message)


def tool(objdump, *args):
    return subprocess.run([objdump] + list(args), capture_output=True,
                          text=True, check=True).stdout


def check_file(objdump, path):
    dump = tool(objdump, "-p", path)
    current = None
    for line in dump.split("The Import Tables", 1)[-1].splitlines():
        m = re.match(r"^\s+DLL Name: (\S+)$", line)
        if m:
            current = m.group(1)
            check(current in ALLOWED, "%s imports %s" % (path, current))
        m = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if m and current in ALLOWED:
            check(m.group(1) in ALLOWED[current],
                  "%s: %s!%s not allowed" % (path, current, m.group(1)))
    tls = re.search(r"^Entry 9 ([0-9a-f]+)", dump, re.M)
    check(tls is not None and int(tls.group(1), 16) == 0,
          "%s has a thread-local storage directory" % path)
    count = re.search(r"Export Address Table\s+([0-9a-f]+)", dump)
    check(count is None or int(count.group(1), 16) == 0,
          "%s exports functions" % path)


def check_stdcall(objdump, objects, calls_list, calls_h):
    listed = open(calls_list).read().split("NQ_TRACED_CALLS(X)")[1]
    traced = [(n, int(b)) for n, b in re.findall(
        r"X\((\w+), \d+, (\d+)\)", listed.split("\n\n")[0])]
    kernel = dict(re.findall(r"X\((\w+), (\d+)\)", open(calls_h).read()))
    want = {}
    for lib in (0, 1):
        for index, (name, size) in enumerate(traced):
            want["ThunkILi%dELi%dE" % (lib, index)] = size
    for name, size in kernel.items():
        want["Nq%sE" % name] = int(size)
    found = {}
    for obj in objects:
        function = None
        for line in tool(objdump, "-d", "--no-show-raw-insn", obj).splitlines():
            m = re.match(r"^[0-9a-f]+ <(\S+)>:$", line)
            if m:
                function = [k for k in want if k in m.group(1)]
                function = function[0] if function else None
                if function:
                    at = re.search(r"@(\d+)$", m.group(1))
                    check(at and int(at.group(1)) == want[function],
                          "%s: declared %s, listed %d" % (m.group(1), at and
                                                           at.group(1), want[function]))
                continue
            m = re.search(r"\tret\s*(?:\$0x([0-9a-f]+))?", line)
            if function and m:
                popped = int(m.group(1) or "0", 16)
                found[function] = popped
                check(popped == want[function], "%s pops %d, stdcall needs %d"
                      % (function, popped, want[function]))
    check(set(found) == set(want), "no code found for %s" %
          sorted(set(want) - set(found)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--list", required=True, help="netquill_calls.h")
    ap.add_argument("--calls", required=True, help="calls.h")
    ap.add_argument("--objects", required=True, help="NQINJECT's, ;-separated")
    ap.add_argument("files", nargs="+")
    a = ap.parse_args()
    for path in a.files:
        check_file(a.objdump, path)
    if "pei-i386" in tool(a.objdump, "-f", a.files[0]):
        check_stdcall(a.objdump, a.objects.split(";"), a.list, a.calls)
    for f in failures:
        print("FAIL:", f)
    print("%s: %d checks failed" % ("FAILED" if failures else "OK",
                                    len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
