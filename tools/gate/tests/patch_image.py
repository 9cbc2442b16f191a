#!/usr/bin/env python3
"""patch_image.py IN OUT HOW: copies IN to OUT with one thing changed in
place. What the GNU linker never writes but other tools do, in the empty
program:

  bound-stamp        the first import descriptor carries a time stamp, as
                     Microsoft's BIND.EXE leaves it
  bound-directory    the bound import directory (data directory 11) is set,
                     as BIND.EXE sets it
  delay-directory    the delay-load import directory (data directory 13) is
                     set, as Microsoft's linker sets it for /DELAYLOAD

In the image of cpu_section.c, its section .quelt with one code flag of two:

  execute-not-code   IMAGE_SCN_MEM_EXECUTE without IMAGE_SCN_CNT_CODE
  code-not-execute   IMAGE_SCN_CNT_CODE without IMAGE_SCN_MEM_EXECUTE

In queltmap95.exe, its version resource:

  rsrc-renamed       in a section named .data, as when a linker merges the
                     resources into another section
  second-resource    with an RT_MANIFEST (24) beside it on the same name,
                     language and data
  fixed-signature    VS_FIXEDFILEINFO with the signature 0
  fixed-version      the fixed file version a major version on, the
                     FileVersion string as it was
  string-version     the FileVersion string a digit on, the fixed file
                     version as it was
  version-key        the root block's key vs_version_info for VS_VERSION_INFO
"""

import struct
import sys

source, target, how = sys.argv[1:4]
data = bytearray(open(source, "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
directories = pe + 24 + 96
sections = struct.unpack_from("<H", data, pe + 6)[0]
table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
# Somewhere in the headers, after the section table: the gate only looks at
# whether a directory is there.
SOMEWHERE = (0x1F0, 0x10)
SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def section(name):
    """The offset of section NAME's entry in the section table."""
    return next(at for at in range(table, table + 40 * sections, 40)
                if data[at:at + 8].rstrip(b"\0") == name)


if how == "bound-stamp":
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
    for i in range(sections):
        vsize, rva, _, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if rva <= import_rva < rva + vsize:
            struct.pack_into("<I", data, raw + import_rva - rva + 4, 0xFFFFFFFF)
            break
    else:
        sys.exit("no import directory in %s" % source)
elif how == "bound-directory":
    struct.pack_into("<II", data, directories + 8 * 11, *SOMEWHERE)
elif how == "delay-directory":
    struct.pack_into("<II", data, directories + 8 * 13, *SOMEWHERE)
elif how in ("execute-not-code", "code-not-execute"):
    flags = section(b".quelt") + 36
    clear = 0x20 if how == "execute-not-code" else 0x20000000
    struct.pack_into("<I", data, flags, struct.unpack_from("<I", data, flags)[0] & ~clear)
elif how == "rsrc-renamed":
    data[section(b".rsrc"):section(b".rsrc") + 8] = b".data\0\0\0"
elif how == "second-resource":
    # The tree written anew, 8 bytes longer: types 16 and 24 lead to one
    # name table (0x20), name 1 to one language table (0x38), language 0x409
    # to one data entry (0x50), and the data moves to 0x60.
    header = section(b".rsrc")
    vsize, rva, _, raw = struct.unpack_from("<IIII", data, header + 8)
    entry = raw
    for _ in range(3):
        entry = raw + (struct.unpack_from("<I", data, entry + 20)[0] & 0x7FFFFFFF)
    data_rva, size = struct.unpack_from("<II", data, entry)
    old = data[raw + data_rva - rva:][:size]
    data[raw:raw + 0x60 + size] = (
        struct.pack("<12xHHIIII", 0, 2, 16, 0x80000020, 24, 0x80000020)
        + struct.pack("<12xHHII", 0, 1, 1, 0x80000038) + struct.pack("<12xHHII", 0, 1, 0x409, 0x50)
        + struct.pack("<IIII", rva + 0x60, size, 0, 0) + old)
    struct.pack_into("<I", data, header + 8, max(vsize, 0x60 + size))
    struct.pack_into("<I", data, directories + 8 * 2 + 4, 0x60 + size)
elif how == "fixed-signature":
    struct.pack_into("<I", data, data.index(SIGNATURE), 0)
elif how == "fixed-version":
    # dwFileVersionMS follows the signature and dwStrucVersion; its high
    # word is the major version.
    data[data.index(SIGNATURE) + 10] += 1
elif how == "string-version":
    # The value follows its key on a 4-byte boundary; the resource's data
    # and its section start on one, so the file offset tells.
    key = "FileVersion\0".encode("utf-16-le")
    data[(data.index(key) + len(key) + 3) & ~3] += 1
elif how == "version-key":
    at = data.index("VS_VERSION_INFO".encode("utf-16-le"))
    data[at:at + 30] = "vs_version_info".encode("utf-16-le")
else:
    sys.exit("unknown patch: %s" % how)
open(target, "wb").write(data)
