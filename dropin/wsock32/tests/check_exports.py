#!/usr/bin/env python3
"""Checks the drop-in WSOCK32.DLL without running it: its export table
against the module definition, the definition against the system's own
wsock32.dll where one is at hand (Wine's), its imports, and on 32-bit x86
that every export pops its arguments as __stdcall requires."""
import argparse
import os
import re
import subprocess
import sys

SKIP = 77

# Bytes of arguments of each export as Windows declares it, which on 32-bit
# x86 a __stdcall function pops with "ret $N": Windows Sockets 1.1 from the
# lists the build wrote out of netquill_calls.h (with their ordinals), and
# the exports only this DLL has.
ARG_BYTES = {
    "WEP": 0, "WsControl": 24, "inet_network": 4, "getnetbyname": 4,
    "WSARecvEx": 16, "s_perror": 4, "GetAddressByNameA": 40,
    "GetAddressByNameW": 40, "EnumProtocolsA": 12, "EnumProtocolsW": 12,
    "GetTypeByNameA": 8, "GetTypeByNameW": 8, "SetServiceA": 24,
    "SetServiceW": 24, "GetServiceA": 28, "GetServiceW": 28,
    "TransmitFile": 28, "AcceptEx": 32, "GetAcceptExSockaddrs": 32,
}
WINSOCK_ORDINALS = {}

# ws2_32.dll, mswsock.dll and NETQUILL.DLL are loaded by full path at run
# time, never imported: an import would be looked up by name.
ALLOWED_IMPORTS = {"KERNEL32.dll", "msvcrt.dll"}

failures = []


def check(cond, message):
    if not cond:
        failures.append(message)


def read_calls(path):
    for line in open(path):
        kind, name, ordinal, size = line.split()
        if kind != "library":
            ARG_BYTES[name] = int(size)
            WINSOCK_ORDINALS[name] = int(ordinal)


def read_def(path):
    exports = {}
    for line in open(path):
        line = line.split(";")[0].strip()
        m = re.match(r"^(\w+)\s*(?:=\s*\w+\s*)?@(\d+)$", line)
        if m:
            exports[m.group(1)] = int(m.group(2))
    return exports


def objdump(tool, path):
    return subprocess.run([tool, "-p", path], capture_output=True, text=True,
                          check=True).stdout


def objdump_any(tool, path):
    """A reference may be of the other machine than the build's objdump."""
    for candidate in (tool, "x86_64-w64-mingw32-objdump",
                      "i686-w64-mingw32-objdump", "objdump"):
        try:
            return objdump(candidate, path)
        except (OSError, subprocess.CalledProcessError):
            continue
    raise RuntimeError("no objdump reads " + path)


def exports_of(dump):
    """Name to ordinal, and ordinal to entry RVA (None for a forwarder)."""
    base = int(re.search(r"^Ordinal Base\s+(\d+)$", dump, re.M).group(1))
    entries = {}
    for m in re.finditer(r"^\s*\[\s*\d+\] \+base\[\s*(\d+)\]\s+([0-9a-f]+) "
                         r"(Export|Forwarder) RVA", dump, re.M):
        entries[int(m.group(1))] = (int(m.group(2), 16)
                                    if m.group(3) == "Export" else None)
    names = {}
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1]
    for m in re.finditer(r"^\s*\[\s*(\d+)\] (\S+)$", table.split("\n\n")[0],
                         re.M):
        # The name table prints indices from 0; the ordinal adds the base.
        names[m.group(2)] = int(m.group(1)) + base
    return names, entries


def check_stdcall(tool, dll, dump, names, entries):
    image_base = int(re.search(r"^ImageBase\s+([0-9a-f]+)$", dump,
                               re.M).group(1), 16)
    for name, ordinal in sorted(names.items()):
        start = image_base + entries[ordinal]
        out = subprocess.run(
            [tool, "-d", "--no-show-raw-insn", "--start-address=0x%x" % start,
             "--stop-address=0x%x" % (start + 2048), dll],
            capture_output=True, text=True, check=True).stdout
        ret = re.search(r"\tret\s*(\$0x[0-9a-f]+)?", out)
        check(ret is not None, "%s: no ret found" % name)
        if ret is None:
            continue
        popped = int(ret.group(1)[1:], 16) if ret.group(1) else 0
        check(popped == ARG_BYTES[name], "%s pops %d bytes, stdcall "
              "needs %d" % (name, popped, ARG_BYTES[name]))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--def", dest="deffile", required=True)
    ap.add_argument("--calls", required=True,
                    help="the export lists, as the build wrote them")
    ap.add_argument("--reference", action="append", default=[],
                    help="the system's wsock32.dll (first one present)")
    ap.add_argument("--against-reference", action="store_true",
                    help="compare the definition with the reference only")
    ap.add_argument("dll", nargs="?")
    args = ap.parse_args()
    read_calls(args.calls)
    expected = read_def(args.deffile)
    check(set(expected) == set(ARG_BYTES),
          "definition and argument table differ: %s"
          % sorted(set(expected) ^ set(ARG_BYTES)))
    winsock = {n: o for n, o in expected.items() if n in WINSOCK_ORDINALS}
    check(winsock == WINSOCK_ORDINALS,
          "definition and netquill_calls.h give other ordinals: %s"
          % sorted(set(winsock.items()) ^ set(WINSOCK_ORDINALS.items())))

    if args.against_reference:
        present = [r for r in args.reference if os.path.exists(r)]
        if not present:
            print("SKIPPED: no reference wsock32.dll (looked for %s)"
                  % ", ".join(args.reference))
            return SKIP
        built = None
        if args.dll:
            built, _ = exports_of(objdump(args.objdump, args.dll))
        for ref in present:
            names, entries = exports_of(objdump_any(args.objdump, ref))
            check(names == expected, "%s and the definition differ: %s" % (
                ref, sorted(set(names.items()) ^ set(expected.items()))))
            check(sorted(entries) == sorted(expected.values()),
                  "%s has entries without names" % ref)
            if built is not None:
                check(built == names, "%s and the built DLL differ: %s" % (
                    ref, sorted(set(names.items()) ^ set(built.items()))))
        checked = "definition%s equal to %s" % (
            " and built DLL" if built is not None else "", ", ".join(present))
    else:
        dump = objdump(args.objdump, args.dll)
        names, entries = exports_of(dump)
        check(names == expected, "built names and ordinals differ: %s"
              % sorted(set(names.items()) ^ set(expected.items())))
        check(sorted(entries) == sorted(expected.values()),
              "ordinals carrying an entry: %s" % sorted(entries))
        check(all(entries[o] is not None for o in entries),
              "forwarder entries in the built DLL")
        imports = set(re.findall(r"DLL Name: (\S+)", dump))
        check(imports <= ALLOWED_IMPORTS,
              "imports beyond %s: %s" % (sorted(ALLOWED_IMPORTS),
                                         sorted(imports - ALLOWED_IMPORTS)))
        is_x86 = "file format pei-i386" in dump
        if is_x86 and not failures:
            check_stdcall(args.objdump, args.dll, dump, names, entries)
        checked = "%d exports, imports %s, %s" % (
            len(names), sorted(imports),
            "stdcall checked" if is_x86 else "64-bit: one calling convention")

    for f in failures:
        print("FAIL:", f)
    print("%s: %s" % ("FAILED" if failures else "OK", checked))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
