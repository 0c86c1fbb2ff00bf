#!/usr/bin/env python3
"""Writes expected.tsv for the legacy-method fixtures from ../manifest.json.
Every value is copied from the manifest; nothing is computed here.
Columns: file, local header offset, method, flags, compressed size, size, crc32, name.
Run from this folder:  python3 make_expected.py > expected.tsv
"""
import json

with open("../manifest.json") as f:
    manifest = json.load(f)
for archive in manifest["archives"]:
    if not archive["file"].startswith("legacy/"):
        continue
    for e in archive["entries"]:
        if e["is_dir"]:
            continue
        print("\t".join([archive["file"][len("legacy/"):], str(e["local_header_offset"]), str(e["method"]),
                         e["flags"], str(e["compressed_size"]), str(e["size"]), e["crc32"], e["name"]]))
