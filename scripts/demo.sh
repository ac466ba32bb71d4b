#!/usr/bin/env bash
# The README's main job: a firmware upgrade of a (simulated) controller.
#
# Installs what is missing, builds, generates a sample firmware file, starts
# norvik-sim on UDP loopback (127.0.0.1, a free port), downloads the firmware
# with norvik-ctl as an installer would, switches the simulated controller off
# and on, verifies it and shows its info with the new version. The simulator is stopped on every way out, and the script
# exits non-zero as soon as a step fails.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_BUILD_DIR:-$ROOT/build}"

WORK=""
SIM_PID=""
cleanup() {
  local status=$?
  if [[ -n "$SIM_PID" ]] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  [[ -n "$WORK" ]] && rm -rf "$WORK"
  if [[ $status -ne 0 ]]; then
    echo "demo: FAILED (exit status $status)" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step() { printf '\n== %s\n' "$*"; }

# NORVIK_DEMO_NO_BUILD=1 reuses an existing build in $BUILD.
if [[ "${NORVIK_DEMO_NO_BUILD:-0}" != 1 ]]; then
  step "Installing missing Debian packages (if any)"
  bash "$ROOT/scripts/install-deps.sh"

  step "Building into $BUILD"
  bash "$ROOT/scripts/build.sh" norvik-sim norvik-ctl norvik-hexgen
fi

SIM="$BUILD/sim/norvik-sim"
CTL="$BUILD/cli/norvik-ctl"
HEXGEN="$BUILD/sim/norvik-hexgen"
for program in "$SIM" "$CTL" "$HEXGEN"; do
  [[ -x "$program" ]] || { echo "demo: $program was not built" >&2; exit 1; }
done

WORK="$(mktemp -d "${TMPDIR:-/tmp}/norvik-demo.XXXXXX")"
FIRMWARE="$WORK/firmware-2.10.hex"

step "Generating a sample firmware file: type code 261, version 2.10"
"$HEXGEN" --type-code 261 --version 2.10 --start 0x6000 "$FIRMWARE"
"$CTL" hex-info "$FIRMWARE"

step "Starting the simulated controller (firmware 2.5) on UDP 127.0.0.1"
"$SIM" --udp 127.0.0.1:0 --type-code 261 --version 2.5 --sn 20240101 >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
PORT=""
for _ in $(seq 100); do
  PORT="$(sed -n 's/^ready .*udp=127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$WORK/sim.out")"
  [[ -n "$PORT" ]] && break
  kill -0 "$SIM_PID" 2>/dev/null || break
  sleep 0.1
done
if [[ -z "$PORT" ]]; then
  echo "demo: the simulator did not become ready:" >&2
  cat "$WORK/sim.out" "$WORK/sim.err" >&2 || true
  exit 1
fi
echo "norvik-sim listens on 127.0.0.1:$PORT (pid $SIM_PID)"
LINK=(--host 127.0.0.1 --udp-port "$PORT")

step "Controller info before the upgrade"
"$CTL" "${LINK[@]}" info

step "Downloading the firmware: norvik-ctl ${LINK[*]} download $(basename "$FIRMWARE") --yes"
# Exit 5: the download went through and the controller has not restarted yet,
# which is what a controller that waits for its power switch does.
download_status=0
"$CTL" "${LINK[@]}" download "$FIRMWARE" --yes || download_status=$?
if [[ $download_status -ne 0 && $download_status -ne 5 ]]; then
  echo "demo: the download failed (exit status $download_status)" >&2
  exit 1
fi

# After its end letter the controller waits in its boot loader, as a real one
# does, until its power is switched off and on; SIGUSR1 does that to the
# simulated one.
step "Switching the simulated controller off and on"
kill -USR1 "$SIM_PID"

# The controller takes a moment to start the new image: ask a few times before
# calling it a failure.
step "Checking that the controller runs the new firmware: norvik-ctl ${LINK[*]} verify $(basename "$FIRMWARE")"
verified=0
for _ in 1 2 3 4 5 6 7 8 9 10; do
  if "$CTL" "${LINK[@]}" verify "$FIRMWARE"; then verified=1; break; fi
  sleep 0.5
done
if [[ $verified -ne 1 ]]; then
  echo "demo: the controller does not report the new firmware" >&2
  exit 1
fi

step "Controller info after the upgrade"
"$CTL" "${LINK[@]}" info

step "Stopping the simulator"
kill -TERM "$SIM_PID"
sim_status=0
wait "$SIM_PID" || sim_status=$?
SIM_PID=""
if [[ $sim_status -ne 0 ]]; then
  echo "demo: the simulator ended with status $sim_status" >&2
  exit 1
fi
echo "demo: firmware 2.5 -> 2.10 downloaded and verified."
