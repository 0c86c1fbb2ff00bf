#!/usr/bin/env python3
"""Turns manifest.json into expected.tsv, the table the directory-reading
interop test checks against. Every value comes from the manifest; the only
computation here is decoding the stored name bytes (as a reader that honours
the host byte and general purpose bit 11 must) and expanding the name rule of
the archive with tens of thousands of entries, which is checked against the
manifest's hash of all names before it is written.

Rows (tab-separated, hex for byte strings, '-' for none):
  A file base total cd_offset cd_size stored_total comment_len comment_hex zip64_end
  E file index held_name_hex stored_len is_dir size csize crc_field method flags
    comment_hex local_offset disk made_by zip64_central
  R file count name_format divisor content_format
Run from this folder:  python3 make_expected.py > expected.tsv
"""
import hashlib
import json
import os

SKIP_GROUPS = {"split"}  # multi-part sets are not copied here
# Damaged files whose end record and central directory are not intact are
# the directory reader's business, not the records'.
DAMAGED_READABLE = {"damaged/dmg_source.zip", "damaged/sfx_adjusted.exe", "damaged/sfx_unadjusted.exe"}


def hexs(b):
    return b.hex() if b else "-"


def comment_bytes(c):
    if c is None:
        return b""
    if "hex" in c:
        return bytes.fromhex(c["hex"])
    return c["text"].encode("ascii")


def stored_name(e):
    if e.get("name_hex"):
        return bytes.fromhex(e["name_hex"])
    return e["name"].encode("ascii")


def held_name(e, raw):
    made_by = int(e["version_made_by"], 16)
    flags = int(e["flags"], 16)
    if (made_by >> 8) == 0 and not (flags & 0x0800):
        return raw.decode("cp437").encode("utf-8")
    return raw


def main():
    m = json.load(open("manifest.json", encoding="utf-8"))
    out = []
    for a in m["archives"]:
        f = a["file"]
        if f.split("/")[0] in SKIP_GROUPS or not os.path.exists(f):
            continue
        if f.startswith("damaged/") and f not in DAMAGED_READABLE:
            continue
        er = a["end_record"]
        stored = a.get("end_record_fields_as_stored") or {}
        base = er.get("offsets_are_relative_to_byte", 0)
        out.append("\t".join(map(str, [
            "A", f, base, a["total_entries"], er["cd_offset"], er["cd_size"],
            stored.get("total_entries", a["total_entries"]), a["archive_comment_length"],
            hexs(comment_bytes(a["archive_comment"])), int(bool(a.get("zip64_end_record")))])))
        entries = a.get("entries") or a.get("entries_sample") or []
        for i, e in enumerate(entries):
            index = e.get("index", i)
            raw = stored_name(e)
            held = held_name(e, raw)
            if "cp437" in (e.get("name_encoding") or ""):
                assert held.decode("utf-8") == e["name"], f
            z = e.get("zip64") or {}
            out.append("\t".join(map(str, [
                "E", f, index, hexs(held), len(raw), int(e["is_dir"]), e["size"],
                e["compressed_size"], e.get("crc32_field", e["crc32"]), e["method"], e["flags"],
                hexs(comment_bytes(e["comment"])), e["local_header_offset"],
                e.get("disk_start", 0), e["version_made_by"], int(bool(z.get("central_block")))])))
        rule = a.get("entries_rule")
        if rule:
            fmt = rule["name"].split("  ")[0]
            assert "i // 1000" in rule["name"], rule["name"]
            names = [fmt % (i // 1000, i) for i in range(rule["count"])]
            digest = hashlib.sha256("\n".join(names).encode()).hexdigest()
            assert digest == rule["all_names_sha256"], "name rule does not match the manifest"
            content = rule["contents"].split(" (")[0].replace("\\n", "\n")
            assert all(len(content % i) > 0 for i in (0, 1))
            out.append("\t".join(["R", f, str(rule["count"]), fmt, "1000", content.replace("\n", "\\n")]))
    print("\n".join(out))


if __name__ == "__main__":
    main()
