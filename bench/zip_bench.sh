#!/usr/bin/env bash
# zip_bench.sh - `zemzip add -r -P pw` at -0, -6 and -9 beside Info-ZIP zip
# and 7-Zip at the same levels, on a 400 MB synthetic card, side by side in
# one run (interleaved rounds, medians, peak memory from GNU time).
#
# usage: bench/zip_bench.sh [BUILD_DIR] [WORK_DIR] [RUNS]
#   BUILD_DIR  a Release or RelWithDebInfo tree with zemzip built
#              (default build-rel)
#   WORK_DIR   where the card and the archives go (default /var/tmp/zem-zip-bench)
#   RUNS       timed rounds (default 3)
# Needs the kit in ../shared/bench (make_card.py, run_peers.sh).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KIT=${ZEM_BENCH_KIT:-$ROOT/../shared/bench}
BUILD=${1:-$ROOT/build-rel}
WORK=${2:-/var/tmp/zem-zip-bench}
RUNS=${3:-3}
ZEMZIP=$(cd "$BUILD" && pwd)/cli/zemzip
[[ -x $ZEMZIP ]] || { echo "zemzip not built in $BUILD" >&2; exit 1; }

mkdir -p "$WORK"
[[ -d $WORK/card ]] || python3 "$KIT/make_card.py" --size-mb 400 --seed 1 "$WORK/card"

# zemzip stores the names as given: run it inside the card, as zip is run.
exec bash "$KIT/run_peers.sh" -n "$RUNS" -b zip-e6 \
  -o '^(zip-e[069]|7z-e[05]|7z-e9|self-e[069])$' \
  -c self-e0 "cd {SRC} && $ZEMZIP add -r -0 -P {PW} {ARC} ." "unzip -q -o -P {PW} {ARC} -d {DST}" \
  -c self-e6 "cd {SRC} && $ZEMZIP add -r -6 -P {PW} {ARC} ." "unzip -q -o -P {PW} {ARC} -d {DST}" \
  -c self-e9 "cd {SRC} && $ZEMZIP add -r -9 -P {PW} {ARC} ." "unzip -q -o -P {PW} {ARC} -d {DST}" \
  "$WORK/card" "$WORK/out"
