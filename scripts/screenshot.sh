#!/usr/bin/env bash
# ZEM Tools: renders the main window with two fake cards (one labelled
# CAMERA, one without a label) under a private Xvfb into docs/screenshot.png.
# BUILD_DIR chooses the build tree (default: build).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
BUILD_DIR=${BUILD_DIR:-build}

bash scripts/deps.sh
cmake -S . -B "$BUILD_DIR" -DZEM_BUILD_APP=ON >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target app_screenshot

dfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dfile" >/dev/null 2>&1 &
XVFB_PID=$!
trap 'kill "$XVFB_PID" 2>/dev/null; rm -f "$dfile"' EXIT
for _ in $(seq 100); do [[ -s "$dfile" ]] && break; sleep 0.1; done
[[ -s "$dfile" ]] || { echo "screenshot: Xvfb did not start" >&2; exit 1; }

mkdir -p docs
DISPLAY=":$(tr -d '[:space:]' <"$dfile")" timeout 60 \
  "$BUILD_DIR/tests/app/app_screenshot" docs/screenshot.png
echo "wrote docs/screenshot.png"
