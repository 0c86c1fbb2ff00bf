#!/usr/bin/env bash
# threads_bench.sh - extraction and test of an encrypted many-file card with
# one thread and with two: `zemzip extract --threads 1|2`, `zemzip test
# --threads 1|2` and `zemcard restore --threads 1|2`. Interleaved rounds,
# medians, peak memory (GNU time's maximum resident set size, as `time -v`
# reports it), and the load average when each round started, since the
# machine is shared.
#
# usage: bench/threads_bench.sh [BUILD_DIR] [WORK_DIR] [RUNS] [FILES]
#   BUILD_DIR  a Release tree with zemzip and zemcard built (default build-rel)
#   WORK_DIR   where the card, its archive and image and the output go
#              (default /var/tmp/zem-threads-bench)
#   RUNS       timed rounds (default 3)
#   FILES      files on the synthetic card (default 20000, about 49 MB)
# Needs make_card.py from the kit in ../shared/bench.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KIT=${ZEM_BENCH_KIT:-$ROOT/../shared/bench}
BUILD=${1:-$ROOT/build-rel}
WORK=${2:-/var/tmp/zem-threads-bench}
RUNS=${3:-3}
FILES=${4:-20000}
ZEMZIP=$(cd "$BUILD" && pwd)/cli/zemzip
ZEMCARD=$(cd "$BUILD" && pwd)/cli/zemcard
[[ -x $ZEMZIP && -x $ZEMCARD ]] || { echo "zemzip and zemcard not built in $BUILD" >&2; exit 1; }
PW=bench

mkdir -p "$WORK/tmp"
export TMPDIR=$WORK/tmp
[[ -d $WORK/card ]] || python3 "$KIT/make_card.py" --variant small --files "$FILES" --seed 1 "$WORK/card" >/dev/null
[[ -f $WORK/card.zip ]] || (cd "$WORK/card" && "$ZEMZIP" add -r -6 -q -P "$PW" "$WORK/card.zip" .)
[[ -f $WORK/card.img ]] || "$ZEMCARD" backup -q --level fast --folder "$WORK/card" "$WORK/card.img" >/dev/null

# name command...: one timed run into $WORK/out, appended to the results.
RESULTS=$WORK/results.txt
: >"$RESULTS"
timed() {
  local name=$1 load secs user sys kb
  shift
  rm -rf "$WORK/out"
  mkdir -p "$WORK/out"
  load=$(cut -d' ' -f1 /proc/loadavg)
  if ! /usr/bin/time -f '%e %U %S %M' -o "$WORK/time.txt" "$@" >/dev/null 2>"$WORK/err.txt"; then
    echo "$name failed:" >&2
    cat "$WORK/err.txt" >&2
    exit 1
  fi
  read -r secs user sys kb <"$WORK/time.txt"
  echo "$name $secs $user $sys $kb $load" >>"$RESULTS"
}

# Each extraction and restore is compared with the card once, so a faster
# run that writes other bytes cannot pass for a result.
verify() {
  if ! diff -r "$WORK/card" "$WORK/out" >/dev/null; then
    echo "$1: the output differs from the card" >&2
    exit 1
  fi
}

for ((Round = 0; Round <= RUNS; ++Round)); do
  for Threads in 1 2; do
    timed "extract-$Threads" "$ZEMZIP" extract -q -o --threads "$Threads" -P "$PW" -d "$WORK/out" "$WORK/card.zip"
    ((Round == 0)) && verify "extract-$Threads"
    timed "test-$Threads" "$ZEMZIP" test -q --threads "$Threads" -P "$PW" "$WORK/card.zip"
    timed "restore-$Threads" "$ZEMCARD" restore -q --yes --threads "$Threads" "$WORK/card.img" --folder "$WORK/out"
    ((Round == 0)) && verify "restore-$Threads"
  done
  # Round 0 warms the page cache and is not counted.
  ((Round == 0)) && : >"$RESULTS"
done

python3 - "$RESULTS" "$FILES" <<'EOF'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
cases = {}
for name, secs, user, sys_, kb, load in rows:
    cases.setdefault(name, []).append((float(secs), float(user) + float(sys_), int(kb), float(load)))
print(f"{sys.argv[2]} files, {len(next(iter(cases.values())))} rounds, medians")
print("| operation | 1 thread s | 2 threads s | speed-up | CPU s (1 / 2) | peak RSS MB (1 / 2) | load at start |")
print("|---|---|---|---|---|---|---|")
for op in ("extract", "test", "restore"):
    one, two = cases[op + "-1"], cases[op + "-2"]
    m1 = statistics.median(r[0] for r in one)
    m2 = statistics.median(r[0] for r in two)
    c1 = statistics.median(r[1] for r in one)
    c2 = statistics.median(r[1] for r in two)
    k1 = max(r[2] for r in one) / 1024
    k2 = max(r[2] for r in two) / 1024
    loads = [r[3] for r in one + two]
    print(f"| {op} | {m1:.2f} | {m2:.2f} | {m1 / m2:.2f}x | {c1:.2f} / {c2:.2f} | {k1:.1f} / {k2:.1f} | {min(loads):.1f}-{max(loads):.1f} |")
EOF
