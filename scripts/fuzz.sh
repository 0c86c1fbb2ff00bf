#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs one for a number of
# seconds, seeded from the test data. New crashing inputs land in
# tests/data/fuzz-regressions/<target without _fuzz>/ (records/ for
# records_fuzz), which the ordinary test suite replays once committed.
#   scripts/fuzz.sh SECONDS [target]      (target: records_fuzz, the default)
# JOBS (default 1) sets libFuzzer's parallel jobs; MAX_LEN (default 131072) the
# largest input (the end record lies in the last 65557 bytes).
set -euo pipefail

SECONDS_TO_RUN=${1:?usage: scripts/fuzz.sh SECONDS [target]}
TARGET=${2:-records_fuzz}
JOBS=${JOBS:-1}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
DATA=$ROOT/tests/data

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEM_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$BUILD" -j2 --target "$TARGET"

# The working corpus grows outside the tree; the seeds are read only.
CORPUS=$BUILD/corpus-$TARGET
mkdir -p "$CORPUS" "$DATA/fuzz-regressions/${TARGET%_fuzz}"
SEEDS=()
for d in "$DATA/interop" "$DATA/damaged" "$DATA/hostile" "$DATA/fuzz-regressions"; do
  [ -d "$d" ] && SEEDS+=("$d")
done
# Seed folders are searched recursively by libFuzzer only one level deep,
# so give it the group folders themselves.
SEED_DIRS=()
for d in "${SEEDS[@]}"; do
  while IFS= read -r sub; do SEED_DIRS+=("$sub"); done < <(find "$d" -type d)
done

PARALLEL=()
if [ "$JOBS" -gt 1 ]; then PARALLEL=(-jobs="$JOBS" -workers="$JOBS"); fi
cd "$BUILD"
exec "./tests/fuzz/$TARGET" "$CORPUS" "${SEED_DIRS[@]}" "${PARALLEL[@]}" \
  -max_total_time="$SECONDS_TO_RUN" \
  -max_len=${MAX_LEN:-131072} -rss_limit_mb=2048 -timeout=20 \
  -artifact_prefix="$DATA/fuzz-regressions/${TARGET%_fuzz}/" -print_final_stats=1
