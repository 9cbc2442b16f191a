#!/usr/bin/env python3
"""Release gate for queltmap95.exe: will Windows 95 load and run this file?

Reads the PE image directly and disassembles its executable sections with
the MinGW objdump. Every broken rule is printed as one line
"REJECTED [rule] detail"; the exit status is 0 when the image passes,
1 when it breaks a rule, 2 when the gate could not do its work.

  pe_gate.py --allowlist FILE --objdump OBJDUMP EXE [--version X.Y.Z]
             [--same-as OTHER.exe]...
  pe_gate.py --list-imports EXE
"""

import argparse
import re
import struct
import subprocess
import sys

ALLOWED_DLLS = ("KERNEL32.DLL", "ADVAPI32.DLL", "USER32.DLL", "MPR.DLL", "CRTDLL.DLL")

# PE constants.
MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
SUBSYSTEM_CONSOLE = 3
DLLCHAR_DYNAMIC_BASE = 0x40
SCN_CNT_CODE = 0x20
SCN_MEM_EXECUTE = 0x20000000
DIR_IMPORT, DIR_RESOURCE, DIR_TLS, DIR_BOUND_IMPORT, DIR_DELAY_IMPORT = 1, 2, 9, 11, 13
RT_VERSION = 16
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD

# Instructions that a 386 (with or without its 387) does not have, by the
# mnemonic objdump prints in AT&T syntax. Each comes with the first CPU
# that has it.
NOT_ON_386 = [
    (r"cmov\w*", "CMOV (Pentium Pro)"),
    (r"fcmov\w*", "FCMOV (Pentium Pro)"),
    (r"fu?comip?", "FCOMI/FUCOMI (Pentium Pro)"),
    (r"cpuid", "CPUID (late 486)"),
    (r"rdtscp?|rdpmc|rdmsr|wrmsr|rsm", "model-specific instruction (Pentium)"),
    (r"bswap\w*", "BSWAP (486)"),
    (r"cmpxchg\w*", "CMPXCHG (486)"),
    (r"xadd\w*", "XADD (486)"),
    (r"invd|wbinvd|invlpg", "cache/TLB instruction (486)"),
    (r"sysenter|sysexit|syscall|sysret\w*", "fast system call (Pentium II)"),
    (r"nop[wlq]", "multi-byte NOP 0F 1F (Pentium Pro)"),
    # CET: endbr and rdssp are hint NOPs F3 0F 1E, run as NOPs from the
    # Pentium Pro on (GCC's -fcf-protection puts endbr32 at the start of
    # each function); incssp, F3 0F AE, faults without CET. A 386 or 486
    # has neither opcode.
    (r"endbr(?:32|64)|rdssp[dq]|incssp[dq]", "CET instruction (Pentium Pro at the earliest)"),
    (r"emms|femms|movnti\w*|prefetch\w*|[lms]fence|clflush\w*|ldmxcsr|stmxcsr"
     r"|fxsave\w*|fxrstor\w*|fisttp\w*", "MMX/SSE instruction"),
    (r"popcnt\w*|lzcnt\w*|tzcnt\w*|movbe\w*|crc32\w*|andn|bextr|blsi|blsmsk|blsr"
     r"|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|adcx|adox|rdrand|rdseed", "post-SSE instruction"),
]
NOT_ON_386_RE = [(re.compile(r"^(?:%s)$" % pattern), what) for pattern, what in NOT_ON_386]
VECTOR_REGISTER = re.compile(r"%(?:mm\d|[xyz]mm\d+|k[0-7])\b")
PREFIXES = {"lock", "rep", "repz", "repe", "repnz", "repne", "data16", "data32", "addr16",
            "addr32", "cs", "ds", "es", "fs", "gs", "ss", "notrack", "bnd"}


class BadImage(Exception):
    pass


class Image:
    """The parts of a PE32 file that the rules look at."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise BadImage("no MZ header")
        pe = self.u32(0x3C)
        if d[pe:pe + 4] != b"PE\0\0":
            raise BadImage("no PE signature")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         _) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = self.u16(opt)
        self.sections = []
        if not self.is_i386():
            return
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", d, opt + 32)
        self.os_version = struct.unpack_from("<HH", d, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", d, opt + 48)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        directories = self.u32(opt + 92)
        self.directories = [struct.unpack_from("<II", d, opt + 96 + 8 * i)
                            if i < directories else (0, 0) for i in range(16)]
        table = opt + optional_size
        for i in range(sections):
            at = table + 40 * i
            name = d[at:at + 8].rstrip(b"\0").decode("latin-1")
            vsize, rva, raw_size, raw_at = struct.unpack_from("<IIII", d, at + 8)
            flags = self.u32(at + 36)
            self.sections.append((name, rva, max(vsize, raw_size), raw_at, raw_size, flags))

    def is_i386(self):
        return self.machine == MACHINE_I386 and self.magic == PE32_MAGIC

    def u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def offset(self, rva):
        for _, start, size, raw_at, raw_size, _ in self.sections:
            if start <= rva < start + size and rva - start < raw_size:
                return raw_at + rva - start
        raise BadImage("RVA 0x%x lies in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """[(dll, descriptor time stamp, [name or ordinal number])]"""
        rva, size = self.directories[DIR_IMPORT]
        found = []
        if not rva:
            return found
        at = self.offset(rva)
        while True:
            lookup, stamp, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if not (lookup or name or thunks):
                return found
            entries = []
            thunk = self.offset(lookup or thunks)
            while self.u32(thunk):
                value = self.u32(thunk)
                entries.append(value & 0xFFFF if value & 0x80000000 else self.string(value + 2))
                thunk += 4
            found.append((self.string(name), stamp, entries))
            at += 20

    def resources(self):
        """[((type, name, language), data RVA, size)] for each resource; a
        level given by name rather than by number shows as "named"."""
        rva, _ = self.directories[DIR_RESOURCE]
        if not rva:
            return []
        base = self.offset(rva)
        found = []

        def walk(table, path):
            named, numbered = struct.unpack_from("<HH", self.data, table + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, table + 16 + 8 * i)
                here = path + ("named" if key & 0x80000000 else key,)
                if not target & 0x80000000:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    found.append((here, data_rva, size))
                elif len(here) < 3:
                    walk(base + (target & 0x7FFFFFFF), here)
                else:
                    raise BadImage("resource tree deeper than type, name and language")

        walk(base, ())
        return found

    def executable_sections(self):
        return [s[0] for s in self.sections if s[5] & (SCN_CNT_CODE | SCN_MEM_EXECUTE)]


def read_allowlist(path):
    """Lines "DLL Function Source...": the source is required."""
    allowed = set()
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = line.split(None, 2)
            if len(fields) < 3:
                raise BadImage("%s:%d: an entry needs a DLL, a name and its source" % (path, number))
            allowed.add((fields[0].upper() + ".DLL", fields[1]))
    return allowed


def check_imports(image, allowed):
    for dll, stamp, entries in image.imports():
        if dll.upper() not in ALLOWED_DLLS:
            yield "dll", "imports %s, which is not one of %s" % (dll, ", ".join(ALLOWED_DLLS))
            continue
        if stamp:
            yield "bound", "imports of %s are bound (time stamp 0x%x)" % (dll, stamp)
        for entry in entries:
            if isinstance(entry, int):
                yield "ordinal", "imports ordinal %d of %s" % (entry, dll)
            elif (dll.upper(), entry) not in allowed:
                yield "name", "imports %s!%s, which is not in the Windows 95 allowlist" % (dll, entry)
    for index, rule, what in ((DIR_BOUND_IMPORT, "bound", "a bound import directory"),
                              (DIR_DELAY_IMPORT, "delay", "a delay-load import directory"),
                              (DIR_TLS, "tls", "a TLS directory")):
        if any(image.directories[index]):
            yield rule, "has %s" % what


def check_header(image):
    if image.subsystem != SUBSYSTEM_CONSOLE:
        yield "subsystem", "subsystem %d, not the console (3)" % image.subsystem
    if tuple(image.subsystem_version) > (4, 0):
        yield "subsystem", "subsystem version %d.%d is above 4.0" % image.subsystem_version
    if tuple(image.os_version) > (4, 0):
        yield "os-version", "OS version %d.%d is above 4.0" % image.os_version
    if image.file_alignment != 0x200:
        yield "alignment", "FileAlignment 0x%x, not 0x200" % image.file_alignment
    if image.section_alignment != 0x1000:
        yield "alignment", "SectionAlignment 0x%x, not 0x1000" % image.section_alignment
    if image.dll_characteristics & DLLCHAR_DYNAMIC_BASE:
        yield "dynamic-base", "asks for a dynamic base"
    if image.timestamp:
        yield "timestamp", "has a link time stamp (0x%x)" % image.timestamp


def utf16z(data, at):
    """The NUL-terminated UTF-16 string at AT and the offset after it."""
    for end in range(at, len(data) - 1, 2):
        if data[end] == data[end + 1] == 0:
            return data[at:end].decode("utf-16-le"), end + 2
    raise BadImage("unterminated string in the version resource")


def version_blocks(data, at, end):
    """The blocks of a version resource between AT and END, each
    (key, value, start of its children, end). Every block starts on a
    4-byte boundary of the resource; a text value counts 16-bit units."""
    blocks = []
    while at < end:
        length, value_length, is_text = struct.unpack_from("<HHH", data, at)
        if length < 6 or at + length > end:
            raise BadImage("version resource block of %d bytes at 0x%x" % (length, at))
        key, value_at = utf16z(data, at + 6)
        value_at = (value_at + 3) & ~3
        value = data[value_at:value_at + (2 * value_length if is_text else value_length)]
        blocks.append((key, value, (value_at + len(value) + 3) & ~3, at + length))
        at = (at + length + 3) & ~3
    return blocks


def check_version(image, version):
    # Without a version to check, an image has no resources at all: the gate
    # passes nothing that it has not read.
    resources = image.resources()
    if version is None:
        for path, _, _ in resources:
            yield "version", "has resource %s, and no version to check it against" % (path,)
        return
    if not resources:
        yield "version", "has no version resource (expected %s)" % version
        return
    rva = image.directories[DIR_RESOURCE][0]
    if [s[1] for s in image.sections if s[0] == ".rsrc"] != [rva]:
        yield "version", "the resource directory is not one section .rsrc of its own"
    if len(resources) != 1 or resources[0][0][:2] != (RT_VERSION, 1):
        yield "version", "resources %s, not one version resource 1" % [r[0] for r in resources]
        return
    _, data_rva, size = resources[0]
    data = image.data[image.offset(data_rva):][:size]
    root = version_blocks(data, 0, len(data))
    if len(root) != 1 or root[0][0] != "VS_VERSION_INFO" or len(root[0][1]) != 52:
        yield "version", "the version resource is not one VS_VERSION_INFO with its fixed part"
        return
    _, fixed, children, end = root[0]
    signature, _, version_ms, version_ls = struct.unpack_from("<IIII", fixed)
    parts = [int(part) for part in version.split(".")] + [0, 0, 0]
    if signature != FIXED_FILE_INFO_SIGNATURE:
        yield "version", "VS_FIXEDFILEINFO signature 0x%x, not 0x%x" % (
            signature, FIXED_FILE_INFO_SIGNATURE)
    elif (version_ms, version_ls) != (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]):
        yield "version", "file version %d.%d.%d.%d, not %s" % (
            version_ms >> 16, version_ms & 0xFFFF, version_ls >> 16, version_ls & 0xFFFF, version)
    strings = []
    for key, _, at, block_end in version_blocks(data, children, end):
        if key != "StringFileInfo":
            continue
        for _, _, table, table_end in version_blocks(data, at, block_end):
            strings += [value.decode("utf-16-le").split("\0")[0]
                        for name, value, _, _ in version_blocks(data, table, table_end)
                        if name == "FileVersion"]
    if strings != [version]:
        yield "version", "FileVersion strings %s, not [%r]" % (strings, version)


def check_instructions(image, path, objdump):
    # The disassembly is linear. Data that the linker leaves in .text (the
    # constructor lists, -1 ... 0) shows up as "(bad)": no CPU runs it.
    for section in image.executable_sections():
        listing = subprocess.run([objdump, "-D", "-w", "-j", section, path], check=True,
                                 capture_output=True, text=True).stdout
        for line in listing.splitlines():
            fields = line.split("\t")
            if len(fields) < 3 or not fields[2].strip():
                continue
            words = fields[2].split()
            while words and words[0] in PREFIXES:
                words = words[1:]
            if not words:
                continue
            what = next((what for pattern, what in NOT_ON_386_RE if pattern.match(words[0])), None)
            if what is None and VECTOR_REGISTER.search(fields[2]):
                what = "MMX/SSE register"
            if what is None and words[0] == "nop" and len(words) > 1:
                what = "multi-byte NOP 0F 1F (Pentium Pro)"
            if what:
                yield "cpu", "%s: %s at %s in %s" % (what, fields[2].strip(),
                                                     fields[0].strip().rstrip(":"), section)


def check_same(path, others):
    with open(path, "rb") as f:
        mine = f.read()
    for other in others:
        with open(other, "rb") as f:
            theirs = f.read()
        if mine != theirs:
            at = next((i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b),
                      min(len(mine), len(theirs)))
            yield "reproducible", "differs from %s from byte 0x%x on" % (other, at)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("exe")
    parser.add_argument("--allowlist")
    parser.add_argument("--objdump")
    parser.add_argument("--same-as", action="append", default=[], metavar="OTHER_EXE")
    parser.add_argument("--version", metavar="X.Y.Z")
    parser.add_argument("--list-imports", action="store_true")
    args = parser.parse_args()
    try:
        image = Image(args.exe)
        if not image.is_i386():
            print("REJECTED [machine] %s: not a 32-bit i386 image (machine 0x%x, magic 0x%x)"
                  % (args.exe, image.machine, image.magic))
            return 1
        if args.list_imports:
            for dll, _, entries in image.imports():
                for entry in entries:
                    print("%s!%s" % (dll.upper(), entry))
            return 0
        if not (args.allowlist and args.objdump):
            parser.error("--allowlist and --objdump are required")
        if args.version and not (re.fullmatch(r"\d+(\.\d+){0,3}", args.version)
                                 and max(map(int, args.version.split("."))) <= 0xFFFF):
            parser.error("--version takes one to four numbers up to 65535, as X.Y.Z")
        violations = list(check_imports(image, read_allowlist(args.allowlist)))
        violations += check_header(image)
        violations += check_version(image, args.version)
        violations += check_instructions(image, args.exe, args.objdump)
        violations += check_same(args.exe, args.same_as)
    except (BadImage, OSError, subprocess.CalledProcessError, struct.error, ValueError) as error:
        print("gate could not check %s: %s" % (args.exe, error))
        return 2
    for rule, detail in violations:
        print("REJECTED [%s] %s: %s" % (rule, args.exe, detail))
    if violations:
        return 1
    print("passed: %s" % args.exe)
    return 0


if __name__ == "__main__":
    sys.exit(main())
