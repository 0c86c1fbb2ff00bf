#!/usr/bin/env bash
# ZEM Tools: installs what is missing, builds, and starts the tool. Until the
# window exists this lists the removable drives with `zemcard list`.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target zemcard
exec build/cli/zemcard list
