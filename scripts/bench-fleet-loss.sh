#!/bin/bash
# A fleet upgrade on a lossy network: 100 simulated controllers (they restart
# by themselves after the end letter) behind a simulator that loses 5 % of the
# datagrams it receives and sends. Reports how many ended verified on the first
# run, how many were listed as possibly in their boot loader, why the others
# failed, and what running the printed recovery line did (and the line that
# run prints in turn, three rounds at most). Then it checks against the simulator's own
# state that no target reported as succeeded lacks a line of the image, and
# that every target either runs the new image or has a reason in the output.
# Not a test: it takes a few minutes.
#
#   scripts/bench-fleet-loss.sh [BUILD_DIR]      (default: build)
#   COUNT=100 DROP=5 DROP_SEED=1 RESTART_WAIT=3000 scripts/bench-fleet-loss.sh
#   KEEP_WORK=DIR keeps the run's files (outputs, simulator state) in DIR;
#   SIM_OPTIONS="--trace" adds options to the simulator's (its trace: sim.err).
#
# Exit status 0 when the targets are met (no false success, no target lost,
# at least 90 % verified after the first run), 1 when not, 2 when it cannot run.
set -euo pipefail

build=${1:-build}
ctl=$build/cli/norvik-ctl
sim=$build/sim/norvik-sim
hexgen=$build/sim/norvik-hexgen
count=${COUNT:-100}
drop=${DROP:-5}
seed=${DROP_SEED:-1}
restart_wait=${RESTART_WAIT:-3000}
for program in "$ctl" "$sim" "$hexgen"; do
    [ -x "$program" ] || { echo "bench-fleet-loss: $program not found; build first" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "bench-fleet-loss: needs python3 to read the JSON output" >&2; exit 2; }

work=${KEEP_WORK:-$(mktemp -d)}
sim_pid=
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
cleanup() { stop_sim; [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"; }
trap cleanup EXIT

# The same image as bench-fleet.sh: about 480 record lines per controller.
"$hexgen" --type-code 261 --version 2.10 --start 0 --size 32768 "$work/fw.hex"

"$sim" --udp 127.0.0.1:0 --type-code 261 --udp-count "$count" --restart-on-end --drop "$drop" --drop-seed "$seed" \
    --state "$work/state.json" ${SIM_OPTIONS:-} >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^ready' "$work/sim.out" 2>/dev/null && break
    sleep 0.1
done
grep -q '^ready' "$work/sim.out" || { echo "bench-fleet-loss: the simulator did not start:" >&2; cat "$work/sim.err" >&2; exit 2; }
grep -o 'udp=[^ ]*' "$work/sim.out" | cut -d= -f2 | sed 's|$|/1|' >"$work/targets.txt"

echo "bench-fleet-loss: $count controllers, $drop % of the datagrams lost (seed $seed), restart wait $restart_wait ms" >&2
first_code=0
start=$(date +%s.%N)
"$ctl" --json fleet download "$work/fw.hex" --yes --jobs "$count" --restart-wait "$restart_wait" \
    --targets "$work/targets.txt" >"$work/first.json" 2>"$work/first.err" || first_code=$?
first_seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

# summary FILE KEY: a value of the run's summary object ("" when absent); a
# list counts its entries.
summary() {
    python3 - "$1" "$2" <<'PY'
import json, sys
summary = {}
for line in open(sys.argv[1]):
    try:
        o = json.loads(line)
    except ValueError:
        continue
    if isinstance(o, dict) and o.get("event") == "summary":
        summary = o
v = summary.get(sys.argv[2], "")
print(len(v) if isinstance(v, list) else v)
PY
}

verified_first=$(summary "$work/first.json" success)
[ -n "$verified_first" ] || verified_first=$(summary "$work/first.json" succeeded) # before the outcome counts
listed=$(summary "$work/first.json" may_remain_in_boot_loader)
recovery=$(summary "$work/first.json" recovery_command)
echo "first run: exit $first_code in $first_seconds s; verified $verified_first of $count;" \
    "listed as possibly in their boot loader: ${listed:-0}"
for key in success current refused downloaded failure interrupted; do
    printf '  %-12s %s\n' "$key" "$(summary "$work/first.json" "$key")"
done
# What the first run's failures were, by message (the endpoint left out).
python3 - "$work/first.json" <<'PY'
import collections, json, re, sys
causes = collections.Counter()
for line in open(sys.argv[1]):
    try:
        o = json.loads(line)
    except ValueError:
        continue
    if isinstance(o, dict) and o.get("event") == "result" and o.get("outcome") != "success":
        causes[re.sub(r"\d+\.\d+\.\d+\.\d+:\d+", "ADDR", o.get("message", ""))] += 1
for message, n in causes.most_common():
    print(f"  {n:3d} x {message}")
PY

# The printed line, run; a run that lists targets again prints its own line,
# which is run in turn (three rounds at most).
round=1
outputs=("$work/first.json")
while [ -n "$recovery" ] && [ "$round" -le 3 ]; do
    echo "recovery line $round: $recovery"
    recovery_code=0
    # The line names the program as it is installed; the build's comes first.
    PATH="$(cd "$build/cli" && pwd):$PATH" bash -c "$recovery" >"$work/recovery$round.json" \
        2>"$work/recovery$round.err" || recovery_code=$?
    outputs+=("$work/recovery$round.json")
    echo "recovery run $round: exit $recovery_code; verified $(summary "$work/recovery$round.json" success) of" \
        "$(summary "$work/recovery$round.json" targets); listed again:" \
        "$(summary "$work/recovery$round.json" may_remain_in_boot_loader)"
    recovery=$(summary "$work/recovery$round.json" recovery_command)
    round=$((round + 1))
done
if [ -z "$(summary "$work/first.json" recovery_command)" ] && [ "${listed:-0}" != 0 ]; then
    echo "no recovery line printed, though ${listed} target(s) were listed as possibly in their boot loader"
fi

stop_sim
# What the controllers themselves hold, against what the runs said.
python3 - "$work/state.json" "$count" "${outputs[@]}" <<'PY'
import json, sys
state = json.load(open(sys.argv[1]))["controllers"]
by_endpoint = {c.get("udp", ""): c for c in state}
full = max((c.get("image_size", 0) for c in state), default=0)
# Each target's result in each run; its latest one says how it ended.
runs = []
for path in sys.argv[3:]:
    run = {}
    for line in open(path):
        try:
            o = json.loads(line)
        except ValueError:
            continue
        if isinstance(o, dict) and o.get("event") == "result":
            run[o.get("target", "").rsplit("/", 1)[0]] = o
    runs.append(run)
results = {}
for run in runs:
    results.update(run)
running = [e for e, c in by_endpoint.items() if c.get("version") == "2.10" and c.get("image_size") == full]
false_success = sorted({e for run in runs for e, r in run.items() if r.get("outcome") == "success" and e not in running})
lost = [e for e in by_endpoint if e not in running and not results.get(e, {}).get("message")]
print(f"at the end (simulator's state): {len(running)} of {len(by_endpoint)} run the whole new image")
print(f"reported as succeeded without the whole image: {len(false_success)} {' '.join(false_success)}")
print(f"neither running the new image nor given a reason: {len(lost)} {' '.join(lost)}")
for e in sorted(set(by_endpoint) - set(running)):
    print(f"  {e}: {results.get(e, {}).get('outcome', '-')}: {results.get(e, {}).get('message', '-')}")
first_ok = sum(1 for r in runs[0].values() if r.get("outcome") == "success")
met = not false_success and not lost and first_ok * 100 >= 90 * int(sys.argv[2])
print("targets (no false success, none lost, >= 90 % verified on the first run): " + ("met" if met else "NOT met"))
sys.exit(0 if met else 1)
PY
