#!/usr/bin/env bash
# ZEM Tools: installs what is missing, builds, and runs every test: the whole
# suite in build/, then the platform and archive suites again under the
# address and undefined-behaviour sanitizers in build-asan/ (every suite but
# the window's and the slow one), then the fuzz targets.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
JOBS=$(nproc)
START=$(date +%s)

passed=0
failed=0
status=0

# Adds the counts of one ctest run ("N% tests passed, M tests failed out of T").
count_results() {
  local log=$1 line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [[ -n "$line" ]]; then
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
}

step() {
  echo "==> $*"
  if ! "$@"; then
    echo "FAILED: $*" >&2
    status=1
    return 1
  fi
}

step bash scripts/deps.sh || { echo "0 passed, 0 failed"; exit 1; }

# The window tests need an X server: a private Xvfb for this run, on a free
# display that Xvfb picks itself; stopped when the script ends. Waits at
# most 10 s for it to come up.
XVFB_PID=
stop_xvfb() { [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null; XVFB_PID=; }
trap stop_xvfb EXIT
if command -v Xvfb >/dev/null 2>&1; then
  dfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dfile" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do [[ -s "$dfile" ]] && break; sleep 0.1; done
  if [[ -s "$dfile" ]]; then
    export DISPLAY=":$(tr -d '[:space:]' <"$dfile")"
    echo "==> Xvfb on $DISPLAY for the window tests"
  else
    echo "Xvfb did not start: the window tests will fail" >&2
    stop_xvfb
  fi
  rm -f "$dfile"
else
  echo "Xvfb not found: the window tests will fail" >&2
fi

# The normal tree: everything, the window included.
if step cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZEM_BUILD_APP=ON -DZEM_WERROR=ON &&
   step cmake --build build -j"$JOBS"; then
  log=$(mktemp)
  (cd build && ctest --output-on-failure -j"$JOBS" -LE 'slow|udisks') 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
  count_results "$log"
  # Real cards through UDisks2, beside private daemons the script starts and
  # stops; where they cannot run it says why and the tests skip.
  echo "==> UDisks2 tests"
  bash scripts/udisks-test-env.sh bash -c 'cd build && ctest --output-on-failure -L udisks' 2>&1 |
    tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
  count_results "$log"
  rm -f "$log"
fi

# The sanitizer tree: every test executable but the window's, taken from the
# suites registered in tests/CMakeLists.txt, and the programs the command-line
# tests run.
if step cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DZEM_SANITIZE=ON -DZEM_WERROR=ON; then
  known=$(cmake --build build-asan --target help | sed -nE 's/^\.\.\. ([A-Za-z0-9_]+).*/\1/p')
  targets=()
  for t in $(sed -nE 's/^[[:space:]]*zem_test_suite\(([A-Za-z0-9_]+) ([a-z]+) .*/\1/p' \
               tests/CMakeLists.txt) zemzip zemcard; do
    grep -qx "$t" <<<"$known" && targets+=("$t")
  done
  if [[ ${#targets[@]} -gt 0 ]] && step cmake --build build-asan -j"$JOBS" --target "${targets[@]}"; then
    log=$(mktemp)
    (cd build-asan && ctest --output-on-failure -j"$JOBS" -LE 'slow|app|udisks') 2>&1 | tee "$log"
    [[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
    count_results "$log"
    rm -f "$log"
  fi
fi

# Fuzzing: each libFuzzer target runs for its share of time from the
# committed seeds when clang is present (the fuzz targets need it). A crash
# fails the run and leaves the input in tests/data/fuzz-regressions/.
if command -v clang++ >/dev/null 2>&1; then
  for spec in records_fuzz:60 unzip_fuzz:45 shrink_fuzz:15 reduce_fuzz:15 implode_fuzz:15 deflate_fuzz:15; do
    target=${spec%%:*}
    secs=${spec##*:}
    if [[ -f tests/fuzz/$target.cpp ]]; then
      mkdir -p build-fuzz
      flog=build-fuzz/$target.log
      echo "==> fuzzing $target for ${secs}s (log: $flog)"
      if FUZZ_BUILD_DIR="$ROOT/build-fuzz" bash scripts/fuzz.sh "$secs" "$target" >"$flog" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units)' "$flog" || true
        passed=$((passed + 1))
      else
        tail -n 40 "$flog"
        echo "FAILED: fuzzing $target" >&2
        failed=$((failed + 1))
        status=1
      fi
    fi
  done
else
  echo "clang++ not found: fuzz runs skipped"
fi

echo "test command took $(( $(date +%s) - START )) s"
echo "$passed passed, $failed failed"
exit "$status"
