#!/usr/bin/env bash
# Configures and builds the project into build/ (or $NORVIK_BUILD_DIR).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_BUILD_DIR:-$ROOT/build}"
JOBS="${NORVIK_JOBS:-$(nproc 2>/dev/null || echo 2)}"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$JOBS"
