#!/usr/bin/env bash
# Configures and builds the project into build/ (or $NORVIK_BUILD_DIR).
# With arguments, builds only those targets (the demo needs three programs,
# not the whole test suite).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_BUILD_DIR:-$ROOT/build}"
JOBS="${NORVIK_JOBS:-$(nproc 2>/dev/null || echo 2)}"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [[ $# -gt 0 ]]; then
  cmake --build "$BUILD" -j "$JOBS" --target "$@"
else
  cmake --build "$BUILD" -j "$JOBS"
fi
