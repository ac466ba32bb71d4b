#!/bin/bash
# Wall time of a fleet upgrade against simulated controllers: the same 32 KiB
# image to 1 controller, then to 50 and to 100 in one `norvik-ctl fleet` run
# each, then to 50 of which 5 are silent. Prints each run's wall time, its
# ratio to the single controller's, the mean time of the controllers that
# succeeded, and norvik-ctl's peak memory. Not a test: the figures depend on
# the machine, and one run takes several minutes.
#
#   scripts/bench-fleet.sh [BUILD_DIR]      (default: build)
#
# Needs /usr/bin/time (scripts/install-deps.sh --bench).
set -euo pipefail

build=${1:-build}
ctl=$build/cli/norvik-ctl
sim=$build/sim/norvik-sim
hexgen=$build/sim/norvik-hexgen
restart_wait=${RESTART_WAIT:-1000}
for program in "$ctl" "$sim" "$hexgen" /usr/bin/time; do
    [ -x "$program" ] || { echo "bench-fleet: $program not found; build first (or scripts/install-deps.sh --bench)" >&2; exit 2; }
done

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# 32 KiB from address 0 in 64-byte records; the download stops at the record at
# 0x77C0, as it does for real firmware, so about 480 lines go to each controller.
"$hexgen" --type-code 261 --version 2.10 --start 0 --size 32768 "$work/fw.hex"

# One simulator: endpoint 1 for the single run, 2-51 for the 50, 52-151 for the
# 100, 152-201 for the 50 with 5 silent.
silent="152,162,172,182,192"
# --restart-on-end: the controllers restart by themselves after the end letter,
# so that the run's version check times the whole upgrade.
"$sim" --udp 127.0.0.1:0 --type-code 261 --udp-count 201 --silent-endpoints "$silent" --restart-on-end \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$work/sim.out" 2>/dev/null && break
    sleep 0.1
done
grep -q '^ready' "$work/sim.out" || { echo "bench-fleet: the simulator did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }
mapfile -t endpoints < <(grep -o 'udp=[^ ]*' "$work/sim.out" | cut -d= -f2)

seconds() { # "h:mm:ss.ss" or "m:ss.ss" -> seconds
    awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }' <<<"$1"
}

# run NAME FIRST COUNT: a fleet download to endpoints FIRST..FIRST+COUNT-1.
declare -A wall rss mean ok
run() {
    local name=$1 first=$2 count=$3 args=()
    for ((k = first; k < first + count; k++)); do
        args+=(--target "${endpoints[k - 1]}/1")
    done
    local code=0
    /usr/bin/time -v -o "$work/$name.time" "$ctl" --json fleet download "$work/fw.hex" --yes \
        --jobs "$count" --restart-wait "$restart_wait" "${args[@]}" >"$work/$name.json" 2>"$work/$name.err" || code=$?
    wall[$name]=$(seconds "$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/$name.time")")
    rss[$name]=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/$name.time")
    ok[$name]=$(grep -c '"event":"result".*"outcome":"success"' "$work/$name.json" || true)
    mean[$name]=$(grep '"event":"result".*"outcome":"success"' "$work/$name.json" |
        grep -o '"seconds":[0-9.]*' | cut -d: -f2 | awk '{ s += $1; n++ } END { if (n) printf "%.2f", s / n; else print "-" }')
    echo "  $name: exit $code, ${ok[$name]} of $count succeeded, wall ${wall[$name]} s" >&2
}

echo "bench-fleet: $(grep -c '^:' "$work/fw.hex") records in the image, restart wait $restart_wait ms" >&2
run single 1 1
run fifty 2 50
run hundred 52 100
run fifty-5-silent 152 50

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
printf '%-16s %8s %8s %10s %10s %12s\n' run targets ok wall_s ratio mean_ok_s
printf '%-16s %8s %8s %10s %10s %12s\n' single 1 "${ok[single]}" "${wall[single]}" 1.000 "${mean[single]}"
printf '%-16s %8s %8s %10s %10s %12s\n' fifty 50 "${ok[fifty]}" "${wall[fifty]}" "$(ratio "${wall[fifty]}" "${wall[single]}")" "${mean[fifty]}"
printf '%-16s %8s %8s %10s %10s %12s\n' hundred 100 "${ok[hundred]}" "${wall[hundred]}" "$(ratio "${wall[hundred]}" "${wall[single]}")" "${mean[hundred]}"
printf '%-16s %8s %8s %10s %10s %12s\n' fifty-5-silent 50 "${ok[fifty-5-silent]}" "${wall[fifty-5-silent]}" \
    "$(ratio "${wall[fifty-5-silent]}" "${wall[single]}")" "${mean[fifty-5-silent]}"
echo "targets: 50 at most 1.2 x single, 100 at most 1.5 x single"
echo "silent ones: the 45 others' mean time $(ratio "${mean[fifty-5-silent]}" "${mean[fifty]}") x that of the 50 without (target under 1.05); wall $(ratio "${wall[fifty-5-silent]}" "${wall[fifty]}") x"
echo "peak memory of norvik-ctl (KiB): single ${rss[single]}, 50 ${rss[fifty]}, 100 ${rss[hundred]}, 50 with 5 silent ${rss[fifty-5-silent]}"
