#!/usr/bin/env python3
"""Extraction speed of `zemzip extract` next to `unzip -o -q` and 7-Zip, on
the same archives of a synthetic memory card, in one run.

The card comes from make_card.py (same folder); its archives are made once
with Info-ZIP zip: stored, level 6 and level 9, each without and with a
password. Every round extracts every archive with every tool into an empty
folder (order rotated per round, page cache warm); the table gives the
median wall-clock time, the median CPU time (user + system) with the
throughput it gives over the card's bytes, and the peak resident memory
(GNU time). On a shared machine the CPU figures are the steadier ones. After the last round our output is compared
with the card (diff -r).

usage: extract_bench.py ZEMZIP [--work DIR] [--size-mb 400] [--rounds 3]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PW = "bench-pw-123"


def run(cmd, **kw):
    subprocess.run(cmd, check=True, **kw)


def timed(cmd):
    """Wall-clock seconds, CPU seconds (user + system) and peak RSS (KB) of
    one command."""
    t0 = time.monotonic()
    p = subprocess.run(["/usr/bin/time", "-f", "%U %S %M"] + cmd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    dt = time.monotonic() - t0
    if p.returncode != 0:
        raise SystemExit(f"failed ({p.returncode}): {' '.join(cmd)}\n{p.stderr}")
    user, system, rss = p.stderr.strip().splitlines()[-1].split()
    return dt, float(user) + float(system), int(rss)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zemzip")
    ap.add_argument("--work", default="/var/tmp/zem-extract-bench")
    ap.add_argument("--size-mb", type=int, default=400)
    ap.add_argument("--rounds", type=int, default=3)
    a = ap.parse_args()
    zemzip = os.path.abspath(a.zemzip)
    card = os.path.join(a.work, f"card{a.size_mb}")
    arcs = os.path.join(a.work, "arc")
    os.makedirs(arcs, exist_ok=True)
    if not os.path.isdir(card):
        run([sys.executable, os.path.join(HERE, "make_card.py"), card, "--size-mb", str(a.size_mb), "--seed", "1"])
    card_bytes = sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(card) for f in fs)

    archives = []
    for level in (0, 6, 9):
        for pw in (False, True):
            name = f"l{level}{'-pw' if pw else ''}"
            path = os.path.join(arcs, f"{a.size_mb}-{name}.zip")
            if not os.path.exists(path):
                run(["zip", "-q", "-r", f"-{level}"] + (["-P", PW] if pw else []) + [path, "."], cwd=card)
            archives.append((name, path, pw))

    sevenzip = shutil.which("7zz") or shutil.which("7z")
    tools = {
        "zemzip": lambda arc, dst, pw: [zemzip, "extract", "-o"] + (["-P", PW] if pw else []) + ["-d", dst, arc],
        "unzip": lambda arc, dst, pw: ["unzip", "-o", "-q"] + (["-P", PW] if pw else []) + [arc, "-d", dst],
    }
    if sevenzip:
        tools["7-Zip"] = lambda arc, dst, pw: [sevenzip, "x", "-y", "-bd", "-bso0"] + (["-p" + PW] if pw else []) + ["-o" + dst, arc]

    load_start = os.getloadavg()[0]
    dst = os.path.join(a.work, "dst")
    results = {}
    cases = [(n, p, pw, t) for (n, p, pw) in archives for t in tools]
    for r in range(a.rounds):
        k = r % len(cases)
        for (name, path, pw, tool) in cases[k:] + cases[:k]:
            shutil.rmtree(dst, ignore_errors=True)
            os.makedirs(dst)
            results.setdefault((name, tool), []).append(timed(tools[tool](path, dst, pw)))
        print(f"round {r + 1} done", file=sys.stderr)

    for (name, path, pw) in archives:  # our output, checked once per archive
        shutil.rmtree(dst, ignore_errors=True)
        run(tools["zemzip"](path, dst, pw), stdout=subprocess.DEVNULL)
        run(["diff", "-r", "-q", card, dst])
    shutil.rmtree(dst, ignore_errors=True)

    print(f"card: {card_bytes / 1e6:.0f} MB, {a.rounds} rounds, load average (1 min) "
          f"{load_start:.2f} at the start, {os.getloadavg()[0]:.2f} at the end")
    print("cells: wall s / CPU s (MB/s of CPU time) / peak MB")
    print("| archive | " + " | ".join(tools) + " | zemzip / unzip wall, CPU |")
    print("|---|" + "---|" * (len(tools) + 1))
    for (name, path, pw) in archives:
        cells = []
        wall, cpu = {}, {}
        for t in tools:
            runs = results[(name, t)]
            wall[t] = statistics.median(x[0] for x in runs)
            cpu[t] = statistics.median(x[1] for x in runs)
            m = max(x[2] for x in runs) / 1024
            cells.append(f"{wall[t]:.2f} / {cpu[t]:.2f} ({card_bytes / 1e6 / max(cpu[t], 0.01):.0f}) / {m:.1f}")
        print(f"| {name} | " + " | ".join(cells) +
              f" | {wall['zemzip'] / wall['unzip']:.2f}, {cpu['zemzip'] / cpu['unzip']:.2f} |")


if __name__ == "__main__":
    main()
