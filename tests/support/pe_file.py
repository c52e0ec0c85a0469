"""Reads what the tests check in a PE file (a DLL of this tree or the
system's): the export table, the imports, the sections, the TLS directory;
and the module definitions the export tables are made from; and whether
32-bit code pops its arguments as __stdcall requires. Scripts import it by
path: sys.path.insert(0, <tests/support>)."""
import re
import subprocess

import pefile

from nqtest import check

TLS_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]
UNINITIALISED_DATA = pefile.SECTION_CHARACTERISTICS[
    "IMAGE_SCN_CNT_UNINITIALIZED_DATA"]


class PeFile:
    def __init__(self, path=None, data=None):
        self.pe = pefile.PE(path, data=data, fast_load=True)
        self.pe.parse_data_directories(directories=[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]])
        opt = self.pe.OPTIONAL_HEADER
        self.image_base = opt.ImageBase
        self.is_x86 = self.pe.FILE_HEADER.Machine == 0x14C
        export = getattr(self.pe, "DIRECTORY_ENTRY_EXPORT", None)
        self.export_name = export and export.name.decode()
        self.ordinal_base = export and export.struct.Base
        self.export_slots = export and export.struct.NumberOfFunctions
        # Ordinal to RVA (None for a forwarder), name to ordinal.
        self.entries = {}
        self.names = {}
        for sym in export.symbols if export else []:
            self.entries[sym.ordinal] = None if sym.forwarder else sym.address
            if sym.name:
                self.names[sym.name.decode()] = sym.ordinal
        self.imports = {}  # DLL name as written to the set of its names
        for desc in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            self.imports.setdefault(desc.dll.decode(), set()).update(
                imp.name.decode() if imp.name else "#%d" % imp.ordinal
                for imp in desc.imports)
        self.sections = [s.Name.rstrip(b"\0").decode("latin-1")
                         for s in self.pe.sections]
        # What the loader gives the image in zeroed memory only: the
        # virtual sizes of the sections of uninitialised data (.bss).
        self.uninitialised_size = sum(
            s.Misc_VirtualSize for s in self.pe.sections
            if s.Characteristics & UNINITIALISED_DATA)
        tls = opt.DATA_DIRECTORY[TLS_DIRECTORY]
        self.has_tls = tls.VirtualAddress != 0 or tls.Size != 0

    def import_count(self):
        return sum(len(n) for n in self.imports.values())


def read_def(path):
    """Name to ordinal of a module definition's EXPORTS, with or without an
    internal name (name = internal @N), private ones (@N PRIVATE) too."""
    exports = {}
    for line in open(path):
        m = re.match(r"^\s*(\w+)\s*(?:=\s*\w+\s*)?@(\d+)(?:\s+PRIVATE)?\s*$",
                     line.split(";")[0])
        if m:
            exports[m.group(1)] = int(m.group(2))
    return exports


# A ret and the bytes it pops ("ret $0x10"), in objdump's disassembly.
RET = re.compile(r"\tret\s*(?:\$0x([0-9a-f]+))?")


def disassemble(objdump, path, *options):
    return subprocess.run([objdump, "-d", "--no-show-raw-insn"] +
                          list(options) + [path], capture_output=True,
                          text=True, check=True).stdout


def check_stdcall(objdump, want, dll=None, pe=None, objects=()):
    """On 32-bit x86 a __stdcall function pops its own arguments with
    "ret $N": checks that each function pops what want (name to bytes)
    says. Either the exports of dll (read as pe), each from its address to
    its first ret, every export needing a row of want; or the functions of
    the object files whose symbols hold a name of want (C++ names are
    mangled around it), every ret of theirs, every row needing its code."""
    found = {}

    def pops(name, ret):
        found[name] = popped = int(ret.group(1) or "0", 16)
        check(name in want and popped == want[name],
              "%s pops %d bytes, stdcall needs %s" % (name, popped,
                                                      want.get(name)))

    for name, ordinal in sorted(pe.names.items()) if dll else ():
        start = pe.image_base + pe.entries[ordinal]
        ret = RET.search(disassemble(objdump, dll, "--start-address=0x%x" %
                                     start, "--stop-address=0x%x" %
                                     (start + 4096)))
        if check(ret is not None, "%s: no ret found" % name):
            pops(name, ret)
    for obj in objects:
        function = None
        for line in disassemble(objdump, obj).splitlines():
            m = re.match(r"^[0-9a-f]+ <(\S+)>:$", line)
            if m:
                function = ([k for k in want if k in m.group(1)] + [None])[0]
            ret = RET.search(line)
            if function and ret:
                pops(function, ret)
    if objects:
        check(set(found) == set(want), "no code found for %s" %
              sorted(set(want) - set(found)))
