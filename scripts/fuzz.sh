#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -DNORVIK_FUZZ=ON) into build-fuzz/ (or
# $NORVIK_FUZZ_BUILD_DIR) and runs each for SECONDS (default 15), starting from
# the seeds in fuzz/corpus/TARGET/. CI runs it with the default; run it longer
# by hand, e.g. an hour per target:
#
#   bash scripts/fuzz.sh 3600            # every target
#   bash scripts/fuzz.sh 3600 commands   # one target
#
# What a run adds to the corpus stays in the build folder (BUILD/corpus/TARGET);
# an input that crashes a target is saved as BUILD/findings/TARGET/crash-*
# (until the next run of that target), and the script exits non-zero.
# Reproduce one with
#   BUILD/fuzz/fuzz-TARGET BUILD/findings/TARGET/crash-...
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
JOBS="${NORVIK_JOBS:-2}"
ALL_TARGETS=(hexfile commands bootreply simframe)

SECONDS_EACH="${1:-15}"
if ! [[ "$SECONDS_EACH" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (targets: ${ALL_TARGETS[*]})" >&2
  exit 2
fi
shift $(( $# > 0 ? 1 : 0 ))
TARGETS=("$@")
[[ ${#TARGETS[@]} -eq 0 ]] && TARGETS=("${ALL_TARGETS[@]}")
for target in "${TARGETS[@]}"; do
  if [[ ! " ${ALL_TARGETS[*]} " == *" $target "* ]]; then
    echo "fuzz: unknown target $target (known: ${ALL_TARGETS[*]})" >&2
    exit 2
  fi
done

bash "$ROOT/scripts/install-deps.sh" --fuzz
CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DNORVIK_FUZZ=ON -DNORVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]/#/fuzz-}"

# A finding must stop the run at once, with a usable report.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

failed=()
summary=()
for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$target"
  findings="$BUILD/findings/$target"
  log="$BUILD/findings/$target.log"
  rm -rf "$findings" # what the last run found is reported only once
  mkdir -p "$corpus" "$findings"
  if [[ -d "$ROOT/fuzz/corpus/$target" ]]; then
    cp -n "$ROOT/fuzz/corpus/$target"/* "$corpus"/ 2>/dev/null || true
  fi
  echo "== fuzz-$target for ${SECONDS_EACH}s" >&2
  status=0
  # -timeout: an input that takes this long is a hang and counts as a finding.
  "$BUILD/fuzz/fuzz-$target" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  crashes="$(find "$findings" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)"
  summary+=("$(printf '%-10s %12s executions  %3d findings  corpus %d inputs' "$target" "${runs:-?}" "$crashes" \
    "$(find "$corpus" -type f | wc -l)")")
  if [[ $status -ne 0 || $crashes -ne 0 ]]; then
    failed+=("$target")
    tail -n 40 "$log" >&2
  fi
done

printf '%s\n' "fuzz: ${SECONDS_EACH}s per target" "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz: findings in ${failed[*]} (see $BUILD/findings/)" >&2
  exit 1
fi
