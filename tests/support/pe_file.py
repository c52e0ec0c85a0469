"""Reads what the tests check in a PE file (a DLL of this tree or the
system's): the export table, the imports, the sections, the TLS directory;
and the module definitions the export tables are made from. Scripts import
it by path: sys.path.insert(0, <tests/support>)."""
import re

import pefile

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
    internal name (name = internal @N)."""
    exports = {}
    for line in open(path):
        m = re.match(r"^\s*(\w+)\s*(?:=\s*\w+\s*)?@(\d+)\s*$",
                     line.split(";")[0])
        if m:
            exports[m.group(1)] = int(m.group(2))
    return exports
