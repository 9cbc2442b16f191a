#!/usr/bin/env python3
"""make_zip.py ZIP FOLDER FILE...: writes ZIP holding FOLDER/FILE for each
FILE, with fixed file times and no extra fields, so that the same files
always make the same bytes."""

import os
import sys
import zipfile

archive, folder, names = sys.argv[1], sys.argv[2], sys.argv[3:]
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
    for name in names:
        entry = zipfile.ZipInfo(os.path.basename(folder) + "/" + name, (1995, 8, 24, 0, 0, 0))
        entry.compress_type = zipfile.ZIP_DEFLATED
        entry.create_system = 0  # MS-DOS: no Unix permissions
        with open(os.path.join(folder, name), "rb") as f:
            out.writestr(entry, f.read())
