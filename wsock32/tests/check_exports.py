#!/usr/bin/env python3
"""Checks the drop-in WSOCK32.DLL without running it: its export table
against the module definition, the definition against the system's own
wsock32.dll where one is at hand (Wine's) and the list's ws2_32.dll
ordinals against the ws2_32.dll beside it, its imports, and on 32-bit x86
that every export pops its arguments as __stdcall requires."""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tests", "support"))
from nqtest import SKIP, check, failures, report  # noqa: E402
from pe_file import PeFile, check_stdcall, read_def  # noqa: E402

# Bytes of arguments of each export as Windows declares it, which on 32-bit
# x86 a __stdcall function pops with "ret $N", and its ordinal: Windows
# Sockets 1.1 and the exports only this DLL has, from the lists the build
# wrote out of netquill_calls.h.
ARG_BYTES = {}
LISTED_ORDINALS = {}
WS2_ORDINALS = {}  # ws2_32.dll's, of Windows Sockets 1.1
DROPIN_LISTS = ("traced", "untraced", "wsock32", "dropin")
OWN = set()  # the drop-in's own exports, which the system's library lacks

# ws2_32.dll, mswsock.dll and NETQUILL.DLL are loaded by full path at run
# time, never imported: an import would be looked up by name.
ALLOWED_IMPORTS = {"KERNEL32.dll", "msvcrt.dll"}


def read_calls(path):
    for line in open(path):
        kind, name, ordinal, size, ws2 = line.split()[:5]
        if kind in DROPIN_LISTS:
            ARG_BYTES[name] = int(size)
            LISTED_ORDINALS[name] = int(ordinal)
        if kind == "dropin":
            OWN.add(name)
        if ws2 != "-":
            WS2_ORDINALS[name] = int(ws2)


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
    winsock = {n: o for n, o in expected.items() if n in LISTED_ORDINALS}
    check(winsock == LISTED_ORDINALS,
          "definition and netquill_calls.h give other ordinals: %s"
          % sorted(set(winsock.items()) ^ set(LISTED_ORDINALS.items())))

    if args.against_reference:
        present = [r for r in args.reference if os.path.exists(r)]
        if not present:
            print("SKIPPED: no reference wsock32.dll (looked for %s)"
                  % ", ".join(args.reference))
            return SKIP
        built = None
        if args.dll:
            built = PeFile(args.dll).names
            check(OWN and all(built.get(n) == expected[n] for n in OWN),
                  "the drop-in's own exports %s: %s" % (sorted(OWN), built))
            built = {n: o for n, o in built.items() if n not in OWN}
        system = {n: o for n, o in expected.items() if n not in OWN}
        for ref in present:
            pe = PeFile(ref)
            names, entries = pe.names, pe.entries
            check(names == system, "%s and the definition differ: %s" % (
                ref, sorted(set(names.items()) ^ set(system.items()))))
            check(sorted(entries) == sorted(system.values()),
                  "%s has entries without names" % ref)
            check(not OWN & set(names), "%s has the drop-in's own %s" % (
                ref, sorted(OWN & set(names))))
            if built is not None:
                check(built == names, "%s and the built DLL differ: %s" % (
                    ref, sorted(set(names.items()) ^ set(built.items()))))
            # The list's ws2_32.dll ordinals, against the system's beside it.
            ws2_path = os.path.join(os.path.dirname(ref), "ws2_32.dll")
            check(os.path.exists(ws2_path), "no %s" % ws2_path)
            if not os.path.exists(ws2_path):
                continue
            ws2 = PeFile(ws2_path)
            have = {n: o for n, o in ws2.names.items() if n in WS2_ORDINALS}
            check(have == WS2_ORDINALS, "%s and the list's ws2 ordinals "
                  "differ: %s" % (ref, sorted(set(have.items()) ^
                                              set(WS2_ORDINALS.items()))))
        checked = "definition%s and ws2_32.dll ordinals equal to %s" % (
            " and built DLL" if built is not None else "", ", ".join(present))
    else:
        pe = PeFile(args.dll)
        names, entries = pe.names, pe.entries
        check(names == expected, "built names and ordinals differ: %s"
              % sorted(set(names.items()) ^ set(expected.items())))
        check(sorted(entries) == sorted(expected.values()),
              "ordinals carrying an entry: %s" % sorted(entries))
        check(all(entries[o] is not None for o in entries),
              "forwarder entries in the built DLL")
        imports = set(pe.imports)
        check(imports <= ALLOWED_IMPORTS,
              "imports beyond %s: %s" % (sorted(ALLOWED_IMPORTS),
                                         sorted(imports - ALLOWED_IMPORTS)))
        is_x86 = pe.is_x86
        if is_x86 and not failures:
            check_stdcall(args.objdump, ARG_BYTES, dll=args.dll, pe=pe)
        checked = "%d exports, imports %s, %s" % (
            len(names), sorted(imports),
            "stdcall checked" if is_x86 else "64-bit: one calling convention")

    return report(checked)


if __name__ == "__main__":
    sys.exit(main())
