#!/usr/bin/env bash
# verify_bench.sh - the verified restore against the bare decryption of the
# same archive. `zemcard restore` tests the image's archive, extracts it onto
# a folder card and reads every file back from the card past the page cache
# to check its CRC; `zemzip test` of the unwrapped archive only decrypts,
# inflates and checks each entry. The goal: the whole restore within 2.5x
# of the test. Medians of RUNS interleaved rounds, wall-clock seconds.
#
# usage: bench/verify_bench.sh [BUILD_DIR] [WORK_DIR] [RUNS] [SIZE_MB]
#   BUILD_DIR  a Release tree with zemcard and zemzip built (default build-rel)
#   WORK_DIR   card, image and outputs (default /var/tmp/zem-verify-bench)
#   RUNS       timed rounds (default 3)
#   SIZE_MB    size of the synthetic card (default 400)
# ZEM_THREADS=N in the environment gives both commands --threads N (by
# default both use one thread per processor).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build-rel}
WORK=${2:-/var/tmp/zem-verify-bench}
RUNS=${3:-3}
SIZE=${4:-400}
ZEMCARD=$(cd "$BUILD" && pwd)/cli/zemcard
ZEMZIP=$(cd "$BUILD" && pwd)/cli/zemzip
[[ -x $ZEMCARD && -x $ZEMZIP ]] || { echo "zemcard and zemzip not built in $BUILD" >&2; exit 1; }

mkdir -p "$WORK/tmp"
export TMPDIR=$WORK/tmp
[[ -d $WORK/card ]] || python3 "$ROOT/bench/make_card.py" --size-mb "$SIZE" --seed 1 "$WORK/card"
"$ZEMCARD" backup --level fast --folder "$WORK/card" "$WORK/card.IMG" >/dev/null
# The image's archive: its last 1024 bytes, then bytes 1024 up to them.
python3 - "$WORK/card.IMG" "$WORK/card.zip" <<'EOF'
import sys
img = open(sys.argv[1], 'rb').read()
open(sys.argv[2], 'wb').write(img[-1024:] + img[1024:-1024])
EOF
printf '\xB9\xE3\xC7\xEF\xD4\xC6\xD4\xC6\n' > "$WORK/password"

T_OPT=()
[[ -n ${ZEM_THREADS:-} ]] && T_OPT=(--threads "$ZEM_THREADS")
seconds() { local s; s=$(date +%s.%N); "$@" >/dev/null; echo "$(date +%s.%N) - $s" | bc; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

: > "$WORK/test.times"; : > "$WORK/restore.times"
for ((i = 0; i < RUNS; i++)); do
  seconds "$ZEMZIP" test -q "${T_OPT[@]}" --password-file "$WORK/password" "$WORK/card.zip" >> "$WORK/test.times"
  rm -rf "$WORK/out"; mkdir -p "$WORK/out"
  seconds "$ZEMCARD" restore --yes "${T_OPT[@]}" "$WORK/card.IMG" --folder "$WORK/out" >> "$WORK/restore.times"
done
T=$(median < "$WORK/test.times"); R=$(median < "$WORK/restore.times")
printf 'archive %s bytes, %s runs, load average %s\n' "$(stat -c %s "$WORK/card.zip")" "$RUNS" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'zemzip test (bare decryption)      %6.2f s\n' "$T"
printf 'zemcard restore (verified)         %6.2f s\n' "$R"
printf 'ratio                              %6.2f (goal <= 2.5)\n' "$(echo "$R / $T" | bc -l)"
