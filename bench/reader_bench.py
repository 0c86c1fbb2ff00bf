#!/usr/bin/env python3
"""Directory reading of a 100,000-entry archive: ReadDirectory (reader_bench)
next to `unzip -l` and Python's zipfile, on the same file, in one run.

    python3 bench/reader_bench.py build-rel/bench/reader_bench [ROUNDS]

Times are the best of ROUNDS wall-clock runs (default 5); the archive is made
once in a temporary folder (stored entries of a few bytes, names like
dir017/file00042.txt).
"""
import os
import subprocess
import sys
import tempfile
import time
import zipfile

ENTRIES = 100_000


def make_archive(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for i in range(ENTRIES):
            z.writestr(f"dir{i % 100:03d}/file{i:06d}.txt", b"x%d" % i)


def best(fn, rounds):
    b = float("inf")
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        b = min(b, time.perf_counter() - t)
    return b


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    tool = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "many.zip")
        make_archive(path)
        out = subprocess.run([tool, path, str(rounds)], check=True, capture_output=True, text=True).stdout
        ours = dict(line.split() for line in out.split("\n") if line)
        assert int(ours["entries"]) == ENTRIES, out
        unzip = best(lambda: subprocess.run(["unzip", "-l", path], check=True, stdout=subprocess.DEVNULL), rounds)
        py = best(lambda: len(zipfile.ZipFile(path).infolist()), rounds)
        print(f"archive: {ENTRIES} entries, {os.path.getsize(path)} bytes")
        print(f"ReadDirectory      {float(ours['best_seconds']) * 1000:8.1f} ms  "
              f"({ours['bytes_per_entry']} bytes of heap per entry)")
        print(f"unzip -l           {unzip * 1000:8.1f} ms  (process start and listing output included)")
        print(f"python zipfile     {py * 1000:8.1f} ms  (in-process, ZipFile(...).infolist())")
    return 0


if __name__ == "__main__":
    sys.exit(main())
