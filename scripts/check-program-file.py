#!/usr/bin/env python3
"""Checks what a built TovrinHost.exe must carry, read from the file itself.

    scripts/check-program-file.py EXE...

For each program file: a 64-bit (PE32+) GUI program; ASLR with a 64-bit
address space and relocations, no-execute data, terminal-server aware; no
section both writable and executable; a static import table of KnownDLLs and
the side-by-side Common Controls only (every other system DLL is loaded from
the system folder at run time); the manifest's execution level, Common
Controls 6, DPI awareness and Windows 10/11; the version resource. Prints one
line per check and exits 1 when any failed, 2 when a file cannot be read as a
PE image.
"""
import struct
import sys
import xml.etree.ElementTree as ET

# Static imports the loader takes from the system folder before the program
# runs: KnownDLLs (the C runtime msvcrt among them), and Common Controls 6,
# which the manifest's dependency redirects to its side-by-side assembly.
# Any other DLL imported statically would be looked for in the program's
# folder first.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "ole32.dll",
              "ws2_32.dll", "msvcrt.dll"}
SIDE_BY_SIDE = {"comctl32.dll"}

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
PE32_PLUS = 0x20B
SUBSYSTEM_WINDOWS_GUI = 2
DLL_CHARACTERISTICS = {
    0x0020: "HIGH_ENTROPY_VA",
    0x0040: "DYNAMIC_BASE",
    0x0100: "NX_COMPAT",
    0x8000: "TERMINAL_SERVER_AWARE",
}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC = 1, 2, 5
RT_VERSION, RT_MANIFEST = 16, 24

EXPECTED_STRINGS = {
    "FileVersion": "0.1.1.1",
    "ProductVersion": "0.1.1",
    "ProductName": "Tovrin Host",
    "FileDescription": "Tovrin Host",
    "InternalName": "TovrinHost.exe",
    "OriginalFilename": "TovrinHost.exe",
}
WINDOWS_10_ID = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


class BadImage(Exception):
    pass


class Image:
    """The headers, sections and data directories of a PE32+ file."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ" or len(data) < 0x40:
            raise BadImage("no MZ header")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise BadImage("no PE signature")
        (self.machine, nsections, _, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = self.u16(opt)
        if self.magic != PE32_PLUS:
            self.subsystem = self.dll_characteristics = None
            self.dirs = []
        else:
            self.subsystem = self.u16(opt + 68)
            self.dll_characteristics = self.u16(opt + 70)
            count = self.u32(opt + 108)
            self.dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i)
                         for i in range(min(count, 16))]
        self.sections = []
        table = opt + opt_size
        for i in range(nsections):
            off = table + 40 * i
            name = data[off:off + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, va, raw_size, raw_ptr = struct.unpack_from("<IIII", data, off + 8)
            flags = self.u32(off + 36)
            self.sections.append((name, va, max(vsize, raw_size), raw_ptr, flags))

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def offset(self, rva):
        for _, va, size, raw_ptr, _ in self.sections:
            if va <= rva < va + size:
                return rva - va + raw_ptr
        raise BadImage("address 0x%x lies in no section" % rva)

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def cstring(self, rva):
        off = self.offset(rva)
        return self.data[off:self.data.index(b"\0", off)].decode("ascii", "replace")

    def imported_dlls(self):
        rva, _ = self.directory(DIR_IMPORT)
        names = []
        off = self.offset(rva) if rva else None
        while off is not None:
            _, _, _, name, first_thunk = struct.unpack_from("<IIIII", self.data, off)
            if name == 0 and first_thunk == 0:
                break
            names.append(self.cstring(name))
            off += 20
        return names

    def resource(self, type_id, name_id):
        """The bytes of the first language of resource type_id/name_id."""
        rva, _ = self.directory(DIR_RESOURCE)
        if not rva:
            return None
        base = self.offset(rva)

        def entries(dir_off):
            named, ids = struct.unpack_from("<HH", self.data, base + dir_off + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data,
                                                   base + dir_off + 16 + 8 * i)
                yield ident, target

        def child(dir_off, wanted):
            for ident, target in entries(dir_off):
                if not ident & 0x80000000 and (wanted is None or ident == wanted):
                    return target
            return None

        level = 0
        for wanted in (type_id, name_id, None):
            target = child(level, wanted)
            if target is None:
                return None
            level = target & 0x7FFFFFFF
            if not target & 0x80000000:
                break
        data_rva, size = struct.unpack_from("<II", self.data, base + level)
        off = self.offset(data_rva)
        return self.data[off:off + size]


def version_blocks(blob, off=0):
    """One VS_VERSIONINFO block: (key, value bytes, text flag, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", blob, off)
    end = off + length
    key_end = off + 6
    while blob[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = blob[off + 6:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = blob[pos:pos + size]
    pos = (pos + size + 3) & ~3
    children = []
    while pos < end:
        child = version_blocks(blob, pos)
        children.append(child)
        pos = (pos + struct.unpack_from("<H", blob, pos)[0] + 3) & ~3
    return key, value, kind == 1, children


def check_version(blob):
    problems = []
    key, fixed, _, children = version_blocks(blob)
    if key != "VS_VERSION_INFO" or len(fixed) < 52:
        return ["no VS_VERSION_INFO with a fixed part"]
    (signature, _, file_ms, file_ls, prod_ms, prod_ls, _, _, _,
     file_type) = struct.unpack_from("<IIIIIIIIII", fixed)
    if signature != 0xFEEF04BD:
        problems.append("fixed part signature 0x%08x" % signature)
    if (file_ms, file_ls) != (0x00000001, 0x00010001):
        problems.append("file version %08x.%08x, expected 0.1.1.1" % (file_ms, file_ls))
    if (prod_ms, prod_ls) != (0x00000001, 0x00010000):
        problems.append("product version %08x.%08x, expected 0.1.1.0" % (prod_ms, prod_ls))
    if file_type != 1:  # VFT_APP
        problems.append("file type %d, expected an application" % file_type)
    blocks = {child[0]: child for child in children}
    tables = {t[0]: t for t in blocks.get("StringFileInfo", ("", b"", False, []))[3]}
    strings = {}
    for name, value, _, _ in tables.get("040904B0", ("", b"", False, []))[3]:
        strings[name] = value.decode("utf-16-le").rstrip("\0")
    for name, expected in EXPECTED_STRINGS.items():
        if strings.get(name) != expected:
            problems.append("%s is %r, expected %r" % (name, strings.get(name), expected))
    variables = {v[0]: v[1] for v in blocks.get("VarFileInfo", ("", b"", False, []))[3]}
    if variables.get("Translation", b"")[:4] != struct.pack("<HH", 0x0409, 1200):
        problems.append("Translation is not U.S. English, Unicode (0x0409, 1200)")
    return problems


def local(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(blob):
    try:
        root = ET.fromstring(blob)
    except ET.ParseError as error:
        return ["manifest is not XML: %s" % error]
    found = {}
    for element in root.iter():
        found.setdefault(local(element.tag), []).append(element)
    problems = []
    levels = [(e.get("level"), e.get("uiAccess")) for e in found.get("requestedExecutionLevel", [])]
    if levels != [("asInvoker", "false")]:
        problems.append("requestedExecutionLevel %r, expected asInvoker without uiAccess" % levels)
    controls = [e.get("version") for e in found.get("assemblyIdentity", [])
                if e.get("name") == "Microsoft.Windows.Common-Controls"]
    if controls != ["6.0.0.0"]:
        problems.append("Common Controls dependency %r, expected version 6.0.0.0" % controls)
    aware = [(e.text or "").strip() for e in found.get("dpiAware", [])]
    if aware != ["true/pm"]:
        problems.append("dpiAware %r, expected true/pm" % aware)
    awareness = [[w.strip() for w in (e.text or "").split(",")] for e in found.get("dpiAwareness", [])]
    if len(awareness) != 1 or awareness[0][:1] != ["PerMonitorV2"]:
        problems.append("dpiAwareness %r, expected PerMonitorV2 first" % awareness)
    systems = [e.get("Id") for e in found.get("supportedOS", [])]
    if WINDOWS_10_ID not in systems:
        problems.append("supportedOS %r lacks Windows 10/11" % systems)
    return problems


def check(path):
    """(description, problems) for each check of the program file at path."""
    with open(path, "rb") as f:
        image = Image(f.read())
    results = []

    problems = []
    if image.machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append("machine 0x%04x" % image.machine)
    if image.magic != PE32_PLUS:
        problems.append("optional header magic 0x%x" % image.magic)
    if image.subsystem != SUBSYSTEM_WINDOWS_GUI:
        problems.append("subsystem %r" % image.subsystem)
    results.append(("PE32+ x86-64 GUI program", problems))
    if image.magic != PE32_PLUS:
        return results

    missing = [name for bit, name in DLL_CHARACTERISTICS.items()
               if not image.dll_characteristics & bit]
    if image.characteristics & IMAGE_FILE_RELOCS_STRIPPED or not image.directory(DIR_BASERELOC)[0]:
        missing.append("base relocations")
    results.append(("DllCharacteristics 0x%04x: %s" % (image.dll_characteristics,
                                                       ", ".join(DLL_CHARACTERISTICS.values())),
                    ["missing " + name for name in missing]))

    both = [name for name, _, _, _, flags in image.sections
            if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE]
    results.append(("no section both writable and executable",
                    ["writable and executable: " + name for name in both]))

    dlls = image.imported_dlls()
    allowed = KNOWN_DLLS | SIDE_BY_SIDE
    results.append(("static imports (%s) are KnownDLLs or side-by-side" % ", ".join(dlls),
                    ["%s would be looked for in the program's folder first" % dll
                     for dll in dlls if dll.lower() not in allowed]))

    manifest = image.resource(RT_MANIFEST, 1)
    results.append(("manifest: asInvoker, Common Controls 6, per-monitor DPI, Windows 10/11",
                    check_manifest(manifest) if manifest else ["no manifest resource 1"]))

    version = image.resource(RT_VERSION, 1)
    results.append(("version resource 0.1.1.1",
                    check_version(version) if version else ["no version resource 1"]))
    return results


def main(paths):
    if not paths:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    failed = 0
    for path in paths:
        print("check-program-file: " + path)
        try:
            results = check(path)
        except (OSError, BadImage, struct.error, ValueError) as error:
            print("  FAIL cannot read it as a PE image: %s" % error)
            return 2
        for description, problems in results:
            print("  %s %s" % ("FAIL" if problems else "ok  ", description))
            for problem in problems:
                print("       " + problem)
            failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
