#!/usr/bin/env python3
"""Turns manifest.json into contents.tsv, the table the extraction interop
test checks against: for every entry of every archive that can be extracted
whole, the SHA-256 of its contents. Every value comes from the manifest.

Rows (tab-separated): file index is_dir size sha256 password ('-' for none)
Left out: the damaged group (its own tests cut and repair those files),
other_methods (methods this system refuses by design, tested separately),
the archive of 66000 entries (a directory test, not an extraction one). The
7-Zip volumes (sp_7z.zip.001 ...) are one plain archive cut into pieces:
the test joins them.
Run from this folder:  python3 make_contents.py > contents.tsv
"""
import json

KEEP_DAMAGED = {"damaged/dmg_source.zip", "damaged/sfx_adjusted.exe"}
SKIP = {"zip64/z64_many_entries_python.zip"}

m = json.load(open("manifest.json"))
for a in m["archives"]:
    f = a["file"]
    group = f.split("/")[0]
    if f in SKIP or group == "other_methods":
        continue
    if group == "damaged" and f not in KEEP_DAMAGED:
        continue
    pw = a.get("password") or "-"
    for i, e in enumerate(a.get("entries") or []):
        print("\t".join([f, str(i), "1" if e["is_dir"] else "0", str(e["size"]), e["sha256"] or "-", pw]))
