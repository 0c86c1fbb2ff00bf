#!/usr/bin/env bash
# ZEM Tools: installs what is missing, builds, and starts the window.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZEM_BUILD_APP=ON
cmake --build build -j"$(nproc)" --target zemtools
# zemtools itself says in one line when there is no display, and exits 1.
exec build/app/zemtools
