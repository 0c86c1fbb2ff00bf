#!/usr/bin/env bash
# parallel_bench.sh - encrypted `zemzip add -r` and `zemcard backup` (fast)
# of a many-file card with --threads 1 against --threads 2 (interleaved
# rounds, medians of wall and of CPU time), with the peak memory of each
# run from GNU time, and the peak memory of the 400 MB photo card with 1, 2
# and 16 threads.
#
# usage: bench/parallel_bench.sh [BUILD_DIR] [WORK_DIR] [RUNS] [FILES]
#   BUILD_DIR  a Release tree with zemzip built (default build-rel)
#   WORK_DIR   where the cards and archives go (default /var/tmp/zem-par-bench)
#   RUNS       timed rounds (default 3)
#   FILES      files of the small card (default 20000)
# Prints the load average before and after: the figures mean little on a
# machine that is busy with other work.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KIT=${ZEM_BENCH_KIT:-$ROOT/../shared/bench}
BUILD=${1:-$ROOT/build-rel}
WORK=${2:-/var/tmp/zem-par-bench}
RUNS=${3:-3}
FILES=${4:-20000}
ZEMZIP=$(cd "$BUILD" && pwd)/cli/zemzip
ZEMCARD=$(cd "$BUILD" && pwd)/cli/zemcard
[[ -x $ZEMZIP && -x $ZEMCARD ]] || { echo "zemzip and zemcard not built in $BUILD" >&2; exit 1; }
TIME=/usr/bin/time
[[ -x $TIME ]] || { echo "GNU time (/usr/bin/time) is needed for peak memory" >&2; exit 1; }

mkdir -p "$WORK"
SMALL=$WORK/small-$FILES
[[ -d $SMALL ]] || python3 "$KIT/make_card.py" --variant small --files "$FILES" --seed 1 "$SMALL" >/dev/null
PHOTO=$WORK/card400
[[ -d $PHOTO ]] || python3 "$KIT/make_card.py" --size-mb 400 --seed 1 "$PHOTO" >/dev/null

# One run of a command line: prints "wall_seconds cpu_seconds peak_kb".
timed() {
  "$TIME" -f '%e %U %S %M' -o "$WORK/time.txt" "$@" >/dev/null
  awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$WORK/time.txt"
}
# One run of a case on a card with a thread count.
run() {
  local case=$1 src=$2 threads=$3 arc=$WORK/out.zip
  rm -f "$arc"
  case $case in
    zip6) (cd "$src" && timed "$ZEMZIP" add -q -r -6 -P pw --threads "$threads" "$arc" .) ;;
    zip0) (cd "$src" && timed "$ZEMZIP" add -q -r -0 -P pw --threads "$threads" "$arc" .) ;;
    card) timed "$ZEMCARD" backup -q --level fast --threads "$threads" --folder "$src" "$arc" ;;
  esac
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  processors: $(nproc)"
for c in zip6 zip0 card; do
  declare -A wall=() cpu=() peak=()
  for ((r = 1; r <= RUNS; ++r)); do
    for t in 1 2; do
      read -r w u m < <(run "$c" "$SMALL" "$t")
      wall[$t]+="$w "
      cpu[$t]+="$u "
      peak[$t]=$(( ${peak[$t]:-0} > m ? ${peak[$t]:-0} : m ))
    done
  done
  for t in 1 2; do
    w=$(tr ' ' '\n' <<<"${wall[$t]}" | grep . | median)
    u=$(tr ' ' '\n' <<<"${cpu[$t]}" | grep . | median)
    printf '%-5s small card (%s files), %s thread(s): wall %s s, cpu %s s, peak %s MB\n' \
      "$c" "$FILES" "$t" "$w" "$u" "$(( peak[$t] / 1024 ))"
    eval "w$t=$w"
  done
  printf '%-5s speed-up (wall, 1 -> 2 threads): %.2fx\n' "$c" "$(awk -v a="$w1" -v b="$w2" 'BEGIN {print a / b}')"
  unset wall cpu peak
done
for t in 1 2 16; do
  read -r w u m < <(run zip6 "$PHOTO" "$t")
  printf 'zip6  400 MB card, %2s thread(s): wall %s s, cpu %s s, peak %s MB\n' "$t" "$w" "$u" "$(( m / 1024 ))"
done
rm -f "$WORK/out.zip" "$WORK/time.txt"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
