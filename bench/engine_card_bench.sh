#!/usr/bin/env bash
# engine_card_bench.sh - `zemcard backup --folder` at none and fast with each
# deflate engine (ISA-L where built in, and zlib through
# ZEM_DEFLATE_ENGINE=zlib), and `zemzip extract` of the fast archive with
# each inflate engine beside bsdtar, on one or more card folders, in
# interleaved rounds; prints the median seconds and the archive sizes.
#
# usage: bench/engine_card_bench.sh BUILD_DIR WORK_DIR RUNS CARD...
#   BUILD_DIR  a Release tree with zemcard and zemzip built
#   WORK_DIR   where the images and extractions go (emptied per case)
#   CARD       a folder to back up (bench/make_card.py makes a photo card)
set -euo pipefail

BUILD=$(cd "$1" && pwd); WORK=$2; RUNS=$3; shift 3
ZEMCARD=$BUILD/cli/zemcard
ZEMZIP=$BUILD/cli/zemzip
mkdir -p "$WORK/tmp"
export TMPDIR=$WORK/tmp

# Seconds of wall time of one command.
timed() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

for CARD in "$@"; do
  echo "== $CARD ($(du -sm "$CARD" | cut -f1) MB, $(find "$CARD" -type f | wc -l) files); load: $(cut -d' ' -f1-3 /proc/loadavg)"
  declare -A T=()
  for ((r = 0; r < RUNS; r++)); do
    for engine in auto zlib; do
      envset=(); [[ $engine == zlib ]] && envset=(ZEM_DEFLATE_ENGINE=zlib)
      for level in none fast; do
        rm -f "$WORK/$engine-$level.img"
        T[$engine-$level]+="$(env "${envset[@]}" bash -c "$(declare -f timed); timed $ZEMCARD backup --level $level --folder '$CARD' '$WORK/$engine-$level.img'") "
      done
    done
    # Extraction of a plain (unencrypted) level-6 archive of the card.
    if ((r == 0)); then
      rm -f "$WORK/plain.zip"
      (cd "$CARD" && "$ZEMZIP" add -q -r -6 "$WORK/plain.zip" . >/dev/null)
    fi
    for engine in auto zlib; do
      envset=(); [[ $engine == zlib ]] && envset=(ZEM_DEFLATE_ENGINE=zlib)
      rm -rf "$WORK/x"; mkdir -p "$WORK/x"
      T[extract-$engine]+="$(env "${envset[@]}" bash -c "$(declare -f timed); timed $ZEMZIP extract -q -d '$WORK/x' '$WORK/plain.zip'") "
    done
    rm -rf "$WORK/x"; mkdir -p "$WORK/x"
    T[extract-bsdtar]+="$(timed bsdtar -x -f "$WORK/plain.zip" -C "$WORK/x") "
  done
  for key in auto-none auto-fast zlib-none zlib-fast extract-auto extract-zlib extract-bsdtar; do
    m=$(tr ' ' '\n' <<<"${T[$key]}" | grep . | median)
    size=""
    [[ -f $WORK/$key.img ]] && size="$(stat -c %s "$WORK/$key.img") bytes"
    printf '%-16s %8.2f s  %s   (rounds: %s)\n' "$key" "$m" "$size" "${T[$key]}"
  done
  echo "plain level-6 archive: $(stat -c %s "$WORK/plain.zip") bytes; load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  unset T
done
