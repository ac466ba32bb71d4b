#!/usr/bin/env bash
# The README's test command: installs what is missing, builds, runs every test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_BUILD_DIR:-$ROOT/build}"
bash "$ROOT/scripts/install-deps.sh"
bash "$ROOT/scripts/build.sh"
cd "$BUILD"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "${NORVIK_JOBS:-2}" "$@"
