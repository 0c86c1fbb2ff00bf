#!/usr/bin/env bash
# peers_bench.sh - zemzip and zemcard beside Info-ZIP, 7-Zip (one thread and
# two) and bsdtar on two synthetic cards, in one run: the 400 MB photo and
# video card (seed 1) and a card of 20,000 small files (about 49 MB, seed
# 1). For every tool, with a password: create stored, create level 6, and
# extract what it made; zemcard backs up at levels none and fast and
# restores each image. Interleaved rounds through the kit's peer timer
# (medians, peak memory from GNU time), then one table per card and a list
# of archive sizes and peak memory of our own runs.
#
# usage: bench/peers_bench.sh [BUILD_DIR] [WORK_DIR] [RUNS] [SIZE_MB] [FILES]
#   BUILD_DIR  a Release tree with zemzip and zemcard built (default build-rel)
#   WORK_DIR   where the cards and the archives go (default /var/tmp/zem-peers-bench)
#   RUNS       timed rounds (default 3)
#   SIZE_MB    size of the photo card (default 400)
#   FILES      files on the small-file card (default 20000)
# Needs the kit in ../shared/bench (make_card.py, run_peers.sh).
set -euo pipefail

# Options given to every `zemzip add`, `zemzip extract`, `zemcard backup` and
# `zemcard restore` (a thread count, an engine), e.g. ZEMZIP_OPTS="--threads 2".
ZEMZIP_OPTS=${ZEMZIP_OPTS:-}
ZEMZIP_X_OPTS=${ZEMZIP_X_OPTS:-}
ZEMCARD_OPTS=${ZEMCARD_OPTS:-}
ZEMCARD_X_OPTS=${ZEMCARD_X_OPTS:-}
# Which cards to time: "photos small" (both, the default), "photos" or "small".
ZEM_PEERS_CARDS=${ZEM_PEERS_CARDS:-photos small}

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KIT=${ZEM_BENCH_KIT:-$ROOT/../shared/bench}
BUILD=${1:-$ROOT/build-rel}
WORK=${2:-/var/tmp/zem-peers-bench}
RUNS=${3:-3}
SIZE=${4:-400}
FILES=${5:-20000}
ZEMCARD=$(cd "$BUILD" && pwd)/cli/zemcard
ZEMZIP=$(cd "$BUILD" && pwd)/cli/zemzip
[[ -x $ZEMCARD && -x $ZEMZIP ]] || { echo "zemcard and zemzip not built in $BUILD" >&2; exit 1; }

mkdir -p "$WORK/tmp"
# The cards are made once per size and kept: a later run reuses them.
PHOTOS=$WORK/card-photos-$SIZE
SMALL=$WORK/card-small-$FILES
CARDS=()
[[ $ZEM_PEERS_CARDS == *photos* ]] && CARDS+=("$PHOTOS")
[[ $ZEM_PEERS_CARDS == *small* ]] && CARDS+=("$SMALL")
[[ ${#CARDS[@]} -gt 0 ]] || { echo "ZEM_PEERS_CARDS names no card" >&2; exit 1; }
[[ -d $PHOTOS || $ZEM_PEERS_CARDS != *photos* ]] || python3 "$KIT/make_card.py" --size-mb "$SIZE" --seed 1 "$PHOTOS"
[[ -d $SMALL || $ZEM_PEERS_CARDS != *small* ]] || python3 "$KIT/make_card.py" --variant small --files "$FILES" --seed 1 "$SMALL"
# The restore unwraps into the temporary folder: keep it on the same disk.
export TMPDIR=$WORK/tmp

# Our cases and the peers the kit has no case for. Info-ZIP's zip-e0 and
# zip-e6 and bsdtar's bsdtar-e6 come from the kit as they are.
SZ=
for c in 7zz 7z 7za; do command -v $c >/dev/null 2>&1 && { SZ=$c; break; }; done
self_x="$ZEMZIP extract $ZEMZIP_X_OPTS -P {PW} -d {DST} {ARC} >/dev/null"
card_x="$ZEMCARD restore $ZEMCARD_X_OPTS --yes {ARC} --folder {DST} >/dev/null"
CASES=(
  -c self-e0 "cd {SRC} && $ZEMZIP add $ZEMZIP_OPTS -r -0 -P {PW} {ARC} . >/dev/null" "$self_x"
  -c self-e6 "cd {SRC} && $ZEMZIP add $ZEMZIP_OPTS -r -6 -P {PW} {ARC} . >/dev/null" "$self_x"
  -c card-e0 "$ZEMCARD backup $ZEMCARD_OPTS --level none --folder {SRC} {ARC} >/dev/null" "$card_x"
  -c card-e6 "$ZEMCARD backup $ZEMCARD_OPTS --level fast --folder {SRC} {ARC} >/dev/null" "$card_x"
)
if [[ -n $SZ ]]; then
  for t in 1 2; do
    for l in 0 6; do
      CASES+=(-c "7z-t$t-e$l"
        "cd {SRC} && $SZ a -tzip -mx=$l -mmt=$t -mem=ZipCrypto -p{PW} {ARC} . >/dev/null"
        "$SZ x -mmt=$t -p{PW} -o{DST} -y {ARC} >/dev/null")
    done
  done
fi
if command -v bsdtar >/dev/null 2>&1; then
  CASES+=(-c bsdtar-e0
    "bsdtar --format zip --options zip:compression=store,zip:encryption=zipcrypt --passphrase {PW} -cf {ARC} -C {SRC} ."
    "bsdtar --passphrase {PW} -xf {ARC} -C {DST}")
fi
ONLY='^(zip-e[06]|bsdtar-e[06]|7z-t[12]-e[06]|self-e[06]|card-e[06])$'

# Exact archive sizes and the highest peak memory over all runs, per case.
ours() {
  python3 - "$1" <<'EOF'
import csv, sys
out = sys.argv[1]
rss = {}
with open(out + "/times.tsv") as f:
    for row in csv.DictReader(f, delimiter="\t"):
        try:
            kb = int(row["maxrss_kb"])
        except ValueError:
            continue
        key = (row["case"], row["phase"])
        rss[key] = max(rss.get(key, 0), kb)
print("%-12s %14s %14s %14s" % ("case", "archive bytes", "create RSS MB", "extract RSS MB"))
with open(out + "/cases.tsv") as f:
    for row in csv.DictReader(f, delimiter="\t"):
        n = row["case"]
        c, x = rss.get((n, "create")), rss.get((n, "extract"))
        mark = "  <- ours" if n.startswith(("self-", "card-")) else ""
        print("%-12s %14s %14s %14s%s" % (n, row["archive_bytes"],
              "-" if c is None else "%.1f" % (c / 1024),
              "-" if x is None else "%.1f" % (x / 1024), mark))
EOF
}

for CARD in "${CARDS[@]}"; do
  name=$(basename "$CARD")
  echo "== $name" >&2
  bash "$KIT/run_peers.sh" -n "$RUNS" -b zip-e6 -o "$ONLY" "${CASES[@]}" "$CARD" "$WORK/out-$name" >/dev/null
done
for CARD in "${CARDS[@]}"; do
  name=$(basename "$CARD")
  echo
  echo "== $name (tables in $WORK/out-$name)"
  cat "$WORK/out-$name/summary.txt"
  echo
  ours "$WORK/out-$name"
done
