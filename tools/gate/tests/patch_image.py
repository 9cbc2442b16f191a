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
else:
    sys.exit("unknown patch: %s" % how)
open(target, "wb").write(data)
