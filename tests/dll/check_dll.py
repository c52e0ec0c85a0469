#!/usr/bin/env python3
"""Checks a built NETQUILL.DLL without running it: its export table against
the module definition, the imports, the stdcall convention of every export
on 32-bit x86, and the version resource."""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "support"))
from nqtest import check, report  # noqa: E402
from pe_file import PeFile, check_stdcall, read_def  # noqa: E402

# Filled from the export lists the build wrote out of netquill_calls.h:
# the bytes of arguments each export takes, which on 32-bit x86 a __stdcall
# function pops itself with "ret $N" (a hook takes the result besides the
# socket function's own), and the socket functions, which a tracer must
# never export under their own names.
ARG_BYTES = {}
SOCKET_NAMES = set()
# The private exports: in the DLL, not in its import libraries.
PRIVATE_NAMES = set()

SYSTEM_DLLS = {"KERNEL32.dll", "msvcrt.dll", "USER32.dll", "ADVAPI32.dll",
               "ntdll.dll"}


def read_calls(path):
    for line in open(path):
        kind, name, _, size = line.split()[:4]
        if kind in ("library", "private"):
            ARG_BYTES[name] = int(size)
        if kind == "private":
            PRIVATE_NAMES.add(name)
        elif kind in ("traced", "untraced"):
            SOCKET_NAMES.add(name)
        if kind == "traced":
            ARG_BYTES["TX_" + name] = int(size) + 4


def check_version(windres, dll, version, text):
    rc = subprocess.run([windres, "-i", dll, "-O", "rc"], capture_output=True,
                        text=True, check=True).stdout
    numbers = ", ".join(version.split("."))
    check(re.search(r"\bFILEVERSION %s(?!\d)" % numbers, rc), "FILEVERSION")
    check(re.search(r"\bPRODUCTVERSION %s(?!\d)" % numbers, rc), "PRODUCTVERSION")
    check(re.search(r"LANGUAGE 9, 1", rc), "resource language 0x0409")
    check('BLOCK "040904E4"' in rc, "string block 040904E4")
    check(re.search(r'VALUE "Translation", 0x409, 1252', rc), "Translation")
    for key, value in (("FileVersion", text),
                       ("ProductVersion", text),
                       ("InternalName", "NETQUILL"),
                       ("OriginalFilename", "NETQUILL.DLL")):
        check('VALUE "%s", "%s"' % (key, value) in rc,
              "version string %s = %s" % (key, value))


def check_import_library(readobj, implib, expected, is_x86):
    """The import library for Microsoft's linker: one short import member per
    export, code, under the caller's (decorated on x86) symbol, importing
    the plain exported name."""
    out = subprocess.run([readobj, implib], capture_output=True, text=True,
                         check=True).stdout
    members = {}
    for block in out.split("\nFile: ")[1:]:
        if "Format: COFF-import-file" not in block:
            continue
        syms = re.findall(r"^Symbol: (\S+)$", block, re.M)
        kind = re.search(r"^Type: (\S+)$", block, re.M)
        ntype = re.search(r"^Name type: (\S+)$", block, re.M)
        imp = [s for s in syms if s.startswith("__imp_")]
        if imp:
            members[imp[0]] = (kind and kind.group(1), ntype and ntype.group(1))
    for name in expected:
        if is_x86:
            sym = "__imp__%s@%d" % (name, ARG_BYTES[name])
            want_type = "undecorate"
        else:
            sym = "__imp_%s" % name
            want_type = "name"
        check(sym in members, "import library lacks %s" % sym)
        if sym in members:
            check(members[sym] == ("code", want_type),
                  "%s imported as %s" % (sym, members[sym]))
    check(len(members) == len(expected),
          "import library has %d members, expected %d"
          % (len(members), len(expected)))
    return len(members)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--windres", required=True)
    ap.add_argument("--def", dest="deffile", required=True)
    ap.add_argument("--calls", required=True,
                    help="the export lists, as the build wrote them")
    ap.add_argument("--implib", help="import library for Microsoft's linker")
    ap.add_argument("--readobj", default="llvm-readobj")
    ap.add_argument("--file-version", required=True,
                    help="the file version as four dotted numbers")
    ap.add_argument("--file-version-text", required=True,
                    help="the file version as the resource's text writes it")
    ap.add_argument("dll")
    args = ap.parse_args()

    read_calls(args.calls)
    expected = read_def(args.deffile)
    check(len(expected) == 48, "module definition lists %d exports"
          % len(expected))
    check(set(expected) == set(ARG_BYTES), "definition and table differ")

    pe = PeFile(args.dll)
    is_x86 = pe.is_x86
    check(pe.export_name == "NETQUILL.dll",
          "export table module name is %r" % pe.export_name)
    check(pe.ordinal_base == 1, "ordinal base is %r" % pe.ordinal_base)
    check(pe.export_slots == 1010,
          "export address table spans %r ordinals" % pe.export_slots)
    check(sorted(pe.entries) == sorted(expected.values()),
          "ordinals carrying an entry: %s" % sorted(pe.entries))
    exported = pe.names
    check(exported == expected, "names and ordinals differ: %s" %
          sorted(set(exported.items()) ^ set(expected.items())))
    check(not (set(exported) & SOCKET_NAMES), "socket function names exported")

    imports = set(pe.imports)
    check(imports and imports <= SYSTEM_DLLS,
          "imports beyond system DLLs: %s" % sorted(imports - SYSTEM_DLLS))

    if is_x86 and exported:
        check_stdcall(args.objdump, ARG_BYTES, dll=args.dll, pe=pe)
    check_version(args.windres, args.dll, args.file_version,
                  args.file_version_text)
    implib_members = 0
    if args.implib:
        public = {n: o for n, o in expected.items() if n not in PRIVATE_NAMES}
        implib_members = check_import_library(args.readobj, args.implib,
                                              public, is_x86)

    checked = "%d exports, imports %s, %s, import library members %d" % (
        len(exported), sorted(imports),
        "stdcall checked" if is_x86 else "64-bit: one calling convention",
        implib_members)
    return report(checked)


if __name__ == "__main__":
    sys.exit(main())
