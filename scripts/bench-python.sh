#!/usr/bin/env bash
# Benchmark (not a test): what a call costs from Python against norvik-sim over
# UDP loopback, beside a norvik-ctl process per call.
#   - 100 GetControllerInfo calls on one norvik.Controller: median wall time;
#   - 100 `norvik-ctl call GetControllerInfo` processes: median wall time
#     (farm-bench when it is on PATH, else timed here);
#   - both less the exchange's own pauses: the command's 100 ms before the
#     read and the network link's 50 ms settle before it takes the datagram;
#   - the module's own share: a round trip to the controller's thread that
#     sends nothing (the `connected` property), median of 1000.
# Usage: bash scripts/bench-python.sh [CALLS]   (CALLS default 100, at most 100 for farm-bench)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_BUILD_DIR:-$ROOT/build}"
CALLS="${1:-100}"
bash "$ROOT/scripts/build.sh" norvik norvik-sim norvik-ctl >/dev/null

WORK="$(mktemp -d)"
SIM_PID=""
cleanup() {
  [[ -n $SIM_PID ]] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
"$BUILD/sim/norvik-sim" --udp 127.0.0.1:0 >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do grep -q '^ready' "$WORK/sim.out" && break; sleep 0.1; done
PORT="$(grep -o '127\.0\.0\.1:[0-9]*' "$WORK/sim.out" | head -n1 | cut -d: -f2)"
[[ -n $PORT ]] || { echo "bench-python: norvik-sim did not start: $(cat "$WORK/sim.out")" >&2; exit 1; }
CTL=("$BUILD/cli/norvik-ctl" --host 127.0.0.1 --udp-port "$PORT" call GetControllerInfo)
PAUSE_MS=150

echo "== norvik.Controller.GetControllerInfo, $CALLS calls on one Controller (/usr/bin/python3)"
PYTHONPATH="$BUILD" /usr/bin/python3 - "$PORT" "$CALLS" "$PAUSE_MS" <<'EOF'
import statistics, sys, time
import norvik
port, calls, pause = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
with norvik.Controller(host="127.0.0.1", udp_port=port) as c:
    c.GetControllerInfo()  # warm-up: the socket is made on first use
    walls = []
    for _ in range(calls):
        start = time.perf_counter()
        ok, _ = c.GetControllerInfo()
        walls.append((time.perf_counter() - start) * 1000)
        assert ok
    hops = []
    for _ in range(1000):
        start = time.perf_counter()
        c.connected
        hops.append((time.perf_counter() - start) * 1e6)
median = statistics.median(walls)
print(f"median {median:.2f} ms (min {min(walls):.2f}, max {max(walls):.2f}); "
      f"above the {pause:.0f} ms of pauses: {median - pause:.2f} ms")
print(f"the module's own round trip to the controller's thread: median {statistics.median(hops):.1f} us")
EOF

echo "== norvik-ctl call GetControllerInfo, $CALLS processes"
if command -v farm-bench >/dev/null 2>&1; then
  farm-bench -n "$CALLS" --timeout 600 -- "${CTL[@]}" | tee "$WORK/farm.out"
  echo "(the exchange's own pauses are $PAUSE_MS ms of each process's wall time)"
else
  /usr/bin/python3 - "$CALLS" "$PAUSE_MS" "${CTL[@]}" <<'EOF'
import statistics, subprocess, sys, time
calls, pause, command = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]
walls = []
for _ in range(calls):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    walls.append((time.perf_counter() - start) * 1000)
median = statistics.median(walls)
print(f"median {median:.2f} ms (min {min(walls):.2f}, max {max(walls):.2f}); above the {pause:.0f} ms of pauses: {median - pause:.2f} ms")
EOF
fi
