#!/usr/bin/env python3
"""Writes a zip of the files named, the same bytes for the same files: fixed
times and modes, no extra fields.

    make_zip.py OUT.zip FILE...
"""
import os
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
    for path in sys.argv[2:]:
        entry = zipfile.ZipInfo(os.path.basename(path), date_time=(2026, 1, 1, 0, 0, 0))
        entry.external_attr = 0o644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(path, "rb") as f:
            archive.writestr(entry, f.read())
