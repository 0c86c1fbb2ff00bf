#!/usr/bin/env python3
"""Writes the damaged and hostile archives of tests/data/damaged and
tests/data/hostile, one defect per archive, and their cases.tsv tables.

Every intact entry named N holds Body(N), so a reader of the table can check
what was extracted without a manifest. Run from anywhere; the archives are
committed, this script documents how each was made.

cases.tsv columns: file, password (may be empty), verdict, message, survivors
  verdict   ok       every entry lists, tests and extracts
            partial  the run goes on; the entries not in survivors fail
            refused  the archive is refused before anything is extracted
  message   a fragment of the report that names the defect ("" for ok)
  survivors entry names, comma-separated, that extract byte-exact
"""
import io
import os
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
DAMAGED = HERE
HOSTILE = os.path.join(os.path.dirname(HERE), "hostile")
DOS_TIME = (2023, 4, 5, 6, 7, 8)


def Body(name):
    return ("content of %s\n" % name).encode() * 50


class Unseekable(io.RawIOBase):
    """A sink that cannot seek, so zipfile writes data descriptors."""

    def __init__(self):
        self.buf = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.buf += b
        return len(b)


def Plain(names, method=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", method) as z:
        for n in names:
            z.writestr(zipfile.ZipInfo(n, DOS_TIME), Body(n), compress_type=method)
    return bytearray(out.getvalue())


def Streamed(names):
    sink = Unseekable()
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as z:
        for n in names:
            with z.open(zipfile.ZipInfo(n, DOS_TIME), "w") as f:
                f.write(Body(n))
    return bytearray(sink.buf)


def Central(data):
    """Offset of the central directory (from the end record)."""
    eocd = data.rfind(b"PK\x05\x06")
    return struct.unpack_from("<I", data, eocd + 16)[0], eocd


def LocalOffsets(data):
    cd, eocd = Central(data)
    offsets, p = [], cd
    while p < eocd and data[p:p + 4] == b"PK\x01\x02":
        n, e, c = struct.unpack_from("<HHH", data, p + 28)
        offsets.append((p, struct.unpack_from("<I", data, p + 42)[0]))
        p += 46 + n + e + c
    return offsets


def Patch(data, fmt, offset, *values):
    struct.pack_into(fmt, data, offset, *values)
    return data


# ZipCrypto, for the encrypted cases.
def _crc_tab():
    t = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        t.append(c)
    return t


CRC = _crc_tab()


class Keys:
    def __init__(self, pw):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for ch in pw:
            self.update(ch)

    def update(self, b):
        k = self.k
        k[0] = CRC[(k[0] ^ b) & 0xFF] ^ (k[0] >> 8)
        k[1] = (k[1] + (k[0] & 0xFF)) & 0xFFFFFFFF
        k[1] = (k[1] * 134775813 + 1) & 0xFFFFFFFF
        k[2] = CRC[(k[2] ^ (k[1] >> 24)) & 0xFF] ^ (k[2] >> 8)

    def byte(self):
        t = (self.k[2] | 2) & 0xFFFF
        return ((t * (t ^ 1)) >> 8) & 0xFF

    def encrypt(self, data):
        out = bytearray()
        for b in data:
            c = b ^ self.byte()
            self.update(b)
            out.append(c)
        return bytes(out)

    def decrypt_byte(self, c):
        b = c ^ self.byte()
        self.update(b)
        return b


def EncryptedEntry(name, data, pw, method, dostime, dosdate, descriptor, check):
    """Local header + encrypted data (+ descriptor) and the central header
    fields for one traditionally encrypted entry."""
    crc = zlib.crc32(data)
    if method == 8:
        co = zlib.compressobj(6, zlib.DEFLATED, -15)
        payload = co.compress(data) + co.flush()
    else:
        payload = data
    k = Keys(pw)
    header = bytearray([0x33] * 11) + bytes([check])
    enc = k.encrypt(bytes(header) + payload)
    flags = 1 | (8 if descriptor else 0)
    lcrc, lcsize, lsize = (0, 0, 0) if descriptor else (crc, len(enc), len(data))
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, dostime, dosdate,
                        lcrc, lcsize, lsize, len(name), 0) + name.encode() + enc
    if descriptor:
        local += struct.pack("<IIII", 0x08074B50, crc, len(enc), len(data))
    return local, (flags, method, dostime, dosdate, crc, len(enc), len(data))


def Assemble(entries):
    """entries: list of (name, local bytes, central fields)."""
    out, central = bytearray(), bytearray()
    for name, local, (flags, method, t, d, crc, cs, us) in entries:
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, flags, method, t, d, crc,
                               cs, us, len(name), 0, 0, 0, 0, 0x20, len(out)) + name.encode()
        out += local
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                      len(out), 0)
    return out + central + end


def Write(folder, name, data, rows, row):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))
    rows.append((name,) + row)


def Damaged():
    rows = []
    abc = ["a.txt", "b.txt", "c.txt"]

    # Data-descriptor entries (as zipfile writes to a pipe), cut before the
    # central directory: the scan must step over each descriptor.
    s = Streamed(abc)
    cd, _ = Central(s)
    Write(DAMAGED, "dd_cut_before_central.zip", s[:cd], rows, ("", "ok", "", ",".join(abc)))

    # The first local header's signature is overwritten.
    d = Plain(["bad.txt", "good.txt"])
    d[0:4] = b"XXXX"
    Write(DAMAGED, "local_signature_missing.zip", d, rows,
          ("", "partial", "local header", "good.txt"))

    # Deflate data of the first entry is not a deflate stream (block type 3).
    d = Plain(["broken.txt", "good.txt"])
    _, off = LocalOffsets(d)[0]
    n, e = struct.unpack_from("<HH", d, off + 26)
    d[off + 30 + n + e] = 0xFF
    Write(DAMAGED, "deflate_invalid_block.zip", d, rows,
          ("", "partial", "invalid block", "good.txt"))

    # Stored entry whose declared size (local and central) is 10 bytes more
    # than its data, the CRC being that of the data.
    d = Plain(["short.txt", "good.txt"], zipfile.ZIP_STORED)
    (cen, off) = LocalOffsets(d)[0]
    size = len(Body("short.txt"))
    Patch(d, "<I", off + 22, size + 10)
    Patch(d, "<I", cen + 24, size + 10)
    Write(DAMAGED, "size_declared_larger.zip", d, rows, ("", "partial", "size", "good.txt"))

    # Deflated entry whose declared size is 10 bytes less than what inflates.
    d = Plain(["long.txt", "good.txt"])
    (cen, off) = LocalOffsets(d)[0]
    size = len(Body("long.txt"))
    Patch(d, "<I", off + 22, size - 10)
    Patch(d, "<I", cen + 24, size - 10)
    Write(DAMAGED, "size_declared_smaller.zip", d, rows, ("", "partial", "size", "good.txt"))

    # The end record's comment length runs past the end of the file.
    d = Plain(abc)
    _, eocd = Central(d)
    Patch(d, "<H", eocd + 20, 200)
    Write(DAMAGED, "comment_past_end.zip", d, rows, ("", "ok", "", ",".join(abc)))

    # Three Zip64 entries each claiming 2^63-1 bytes: their sum overflows.
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for n in ["h1.bin", "h2.bin", "h3.bin"]:
            z.writestr(zipfile.ZipInfo(n, DOS_TIME), b"x" * 16)
    plain = bytearray(out.getvalue())
    # Rebuild with a Zip64 extra in each central header claiming the size.
    entries = []
    for cen, off in LocalOffsets(plain):
        n, e = struct.unpack_from("<HH", plain, off + 26)
        name = plain[off + 30:off + 30 + n].decode()
        local = bytes(plain[off:off + 30 + n + e + 16])
        entries.append((name, local))
    data, central = bytearray(), bytearray()
    for name, local in entries:
        extra = struct.pack("<HHQ", 1, 8, (1 << 63) - 1)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0x3104, 0x5685,
                               zlib.crc32(b"x" * 16), 16, 0xFFFFFFFF, len(name), len(extra), 0, 0,
                               0, 0x20, len(data)) + name.encode() + extra
        data += local
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 3, 3, len(central), len(data), 0)
    Write(DAMAGED, "zip64_sizes_overflow.zip", data + central + end, rows,
          ("", "partial", "size", ""))

    # A data-descriptor entry whose stored hour is 31: the password check
    # byte is the high byte of the stored time, whatever the time says.
    t = (31 << 11) | (7 << 5) | 4
    d16 = ((2023 - 1980) << 9) | (4 << 5) | 5
    local, fields = EncryptedEntry("late.txt", Body("late.txt"), b"Sesame42", 0, t, d16, True,
                                   t >> 8)
    Write(DAMAGED, "bit3_hour_31.zip", Assemble([("late.txt", local, fields)]), rows,
          ("Sesame42", "ok", "", "late.txt"))

    with open(os.path.join(DAMAGED, "cases.tsv"), "w") as f:
        f.write("# file\tpassword\tverdict\tmessage\tsurvivors\n")
        for r in rows:
            f.write("\t".join(r) + "\n")


def Hostile():
    os.makedirs(HOSTILE, exist_ok=True)
    rows = []

    # 250 central entries sharing one local entry: the overlapping-entries
    # bomb (each would extract the same 1 MB again).
    big = b"\0" * (1 << 20)
    co = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed = co.compress(big) + co.flush()
    crc = zlib.crc32(big)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0x3104, 0x5685, crc, len(packed),
                        len(big), 5, 0) + b"0.bin" + packed
    central = bytearray()
    for i in range(250):
        name = ("%d.bin" % i).encode()
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0x3104, 0x5685, crc,
                               len(packed), len(big), len(name), 0, 0, 0, 0, 0x20, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 250, 250, len(central), len(local), 0)
    Write(HOSTILE, "overlapping_entries.zip", local + central + end, rows,
          ("", "refused", "zip bomb", ""))

    # One file below 30,000 nested folders (a 60,005-byte name).
    name = "a/" * 30000 + "f.txt"
    d = Plain([name, "good.txt"])
    Write(HOSTILE, "deep_path.zip", d, rows, ("", "partial", "too long", "good.txt"))

    # A wrong password ("wrong2") whose check byte matches on the first
    # entry, deflated: inflate then fails on garbage. The second entry
    # rejects it by its check byte.
    pw, wrong = b"Sesame42", None
    t, d16 = 0x3104, 0x5685
    for i in range(100000):
        cand = b"wrong%d" % i
        # The check byte the wrong password would decrypt from the header.
        k = Keys(pw)
        hdr = bytes([0x55] * 11) + bytes([crc_hi := (zlib.crc32(Body("first.txt")) >> 24)])
        enc = k.encrypt(hdr)
        k2 = Keys(cand)
        plain = [k2.decrypt_byte(c) for c in enc]
        k = Keys(pw)
        enc2 = k.encrypt(bytes([0x66] * 11) + bytes([zlib.crc32(Body("second.txt")) >> 24]))
        k2 = Keys(cand)
        plain2 = [k2.decrypt_byte(c) for c in enc2]
        if plain[11] == crc_hi and plain2[11] != zlib.crc32(Body("second.txt")) >> 24:
            wrong = cand
            break
    assert wrong is not None

    def fixed_entry(name, method, check, filler=0x55):
        data = Body(name)
        crc = zlib.crc32(data)
        payload = data
        if method == 8:
            co = zlib.compressobj(6, zlib.DEFLATED, -15)
            payload = co.compress(data) + co.flush()
        k = Keys(pw)
        enc = k.encrypt(bytes([filler] * 11) + bytes([check]) + payload)
        local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 1, method, t, d16, crc, len(enc),
                            len(data), len(name), 0) + name.encode() + enc
        return (name, local, (1, method, t, d16, crc, len(enc), len(data)))

    first = fixed_entry("first.txt", 8, zlib.crc32(Body("first.txt")) >> 24)
    second = fixed_entry("second.txt", 0, zlib.crc32(Body("second.txt")) >> 24, 0x66)
    Write(HOSTILE, "wrong_password_passes_check.zip", Assemble([first, second]), rows,
          (wrong.decode(), "partial", "password", ""))

    with open(os.path.join(HOSTILE, "cases.tsv"), "w") as f:
        f.write("# file\tpassword\tverdict\tmessage\tsurvivors\n")
        for r in rows:
            f.write("\t".join(r) + "\n")


if __name__ == "__main__":
    Damaged()
    Hostile()
