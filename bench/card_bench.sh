#!/usr/bin/env bash
# card_bench.sh - `zemcard backup --folder` at each level (none, fast, high)
# and `zemcard restore` of its image, beside `zemzip add` / `zemzip extract`
# and Info-ZIP `zip -r -P` / `unzip -P` of the same tree at the same levels,
# side by side in one run (interleaved rounds, medians, peak memory from
# GNU time). The ratio column is against zemzip at level 6.
#
# usage: bench/card_bench.sh [BUILD_DIR] [WORK_DIR] [RUNS] [SIZE_MB]
#   BUILD_DIR  a Release or RelWithDebInfo tree with zemcard and zemzip built
#              (default build-rel)
#   WORK_DIR   where the card, the images and the temporary archive go
#              (default /var/tmp/zem-card-bench)
#   RUNS       timed rounds (default 3)
#   SIZE_MB    size of the synthetic card (default 400)
# Needs the kit in ../shared/bench (make_card.py, run_peers.sh).
#
# A backup keeps empty folders as folder entries, so the restore's "verify"
# column compares the whole tree, the card's empty folder included.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KIT=${ZEM_BENCH_KIT:-$ROOT/../shared/bench}
BUILD=${1:-$ROOT/build-rel}
WORK=${2:-/var/tmp/zem-card-bench}
RUNS=${3:-3}
SIZE=${4:-400}
ZEMCARD=$(cd "$BUILD" && pwd)/cli/zemcard
ZEMZIP=$(cd "$BUILD" && pwd)/cli/zemzip
[[ -x $ZEMCARD && -x $ZEMZIP ]] || { echo "zemcard and zemzip not built in $BUILD" >&2; exit 1; }

mkdir -p "$WORK/tmp"
[[ -d $WORK/card ]] || python3 "$KIT/make_card.py" --size-mb "$SIZE" --seed 1 "$WORK/card"
# The restore unwraps into the temporary folder: keep it on the same disk.
export TMPDIR=$WORK/tmp

self_x="$ZEMZIP extract -P {PW} -d {DST} {ARC} >/dev/null"
card_x="$ZEMCARD restore --yes {ARC} --folder {DST}"
exec bash "$KIT/run_peers.sh" -n "$RUNS" -b self-e6 \
  -o '^(zip-e[069]|self-e[069]|card-e[069])$' \
  -c self-e0 "cd {SRC} && $ZEMZIP add -r -0 -P {PW} {ARC} . >/dev/null" "$self_x" \
  -c self-e6 "cd {SRC} && $ZEMZIP add -r -6 -P {PW} {ARC} . >/dev/null" "$self_x" \
  -c self-e9 "cd {SRC} && $ZEMZIP add -r -9 -P {PW} {ARC} . >/dev/null" "$self_x" \
  -c card-e0 "$ZEMCARD backup --level none --folder {SRC} {ARC} >/dev/null" "$card_x" \
  -c card-e6 "$ZEMCARD backup --level fast --folder {SRC} {ARC} >/dev/null" "$card_x" \
  -c card-e9 "$ZEMCARD backup --level high --folder {SRC} {ARC} >/dev/null" "$card_x" \
  "$WORK/card" "$WORK/out"
