#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
# installs what is missing, builds everything with -DNORVIK_SANITIZE=ON into
# build-asan/ (or $NORVIK_SANITIZE_BUILD_DIR), a folder of its own, and runs
# every test. Any report fails the test it occurs in. Arguments go to ctest
# (e.g. -L unit).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_SANITIZE_BUILD_DIR:-$ROOT/build-asan}"
JOBS="${NORVIK_JOBS:-2}"
bash "$ROOT/scripts/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVIK_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"

# The first report ends the program with a failing status: a finding cannot
# pass as a green test. Leak checking stays on for our code.
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
cd "$BUILD"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS" "$@"
