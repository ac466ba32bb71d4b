#!/usr/bin/env bash
# The Ansible example (examples/ansible/) against simulated controllers on this
# machine: two sites, each one norvik-sim with two controllers on UDP loopback
# that restart by themselves after the end letter. The playbook runs twice: the
# first run must change both sites, the second must change nothing (every
# controller already runs the file's version), and neither may fail.
#
#   bash scripts/ansible-check.sh        (NORVIK_DEMO_NO_BUILD=1 reuses the build)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_BUILD_DIR:-$ROOT/build}"

WORK=""
SIM_PIDS=()
cleanup() {
  local status=$?
  for pid in "${SIM_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [[ -n "$WORK" ]] && rm -rf "$WORK"
  [[ $status -ne 0 ]] && echo "ansible-check: FAILED (exit status $status)" >&2
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ "${NORVIK_DEMO_NO_BUILD:-0}" != 1 ]]; then
  bash "$ROOT/scripts/install-deps.sh" --ansible
  bash "$ROOT/scripts/build.sh" norvik-sim norvik-ctl norvik-hexgen
fi
command -v ansible-playbook >/dev/null || { echo "ansible-check: ansible-playbook not found (scripts/install-deps.sh --ansible)" >&2; exit 1; }
SIM="$BUILD/sim/norvik-sim"
CTL="$BUILD/cli/norvik-ctl"
HEXGEN="$BUILD/sim/norvik-hexgen"
for program in "$SIM" "$CTL" "$HEXGEN"; do
  [[ -x "$program" ]] || { echo "ansible-check: $program was not built" >&2; exit 1; }
done

WORK="$(mktemp -d "${TMPDIR:-/tmp}/norvik-ansible.XXXXXX")"
# The runs' upgrade history and Ansible's own files stay in the work folder.
export XDG_DATA_HOME="$WORK/data" ANSIBLE_LOCAL_TEMP="$WORK/ansible-local" ANSIBLE_REMOTE_TEMP="$WORK/ansible-remote"
export ANSIBLE_HOME="$WORK/ansible-home" ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0
FIRMWARE="$WORK/firmware-2.10.hex"
"$HEXGEN" --type-code 261 --version 2.10 --start 0x7000 "$FIRMWARE" >/dev/null

# One simulator per site, its endpoints written into the site's targets file.
for site in site-north site-south; do
  "$SIM" --udp 127.0.0.1:0 --udp-count 2 --type-code 261 --version 2.5 --restart-on-end \
    >"$WORK/$site.out" 2>"$WORK/$site.err" &
  SIM_PIDS+=($!)
  for _ in $(seq 100); do grep -q '^ready' "$WORK/$site.out" 2>/dev/null && break; sleep 0.1; done
  grep -q '^ready' "$WORK/$site.out" || { echo "ansible-check: the simulator of $site did not start:" >&2; cat "$WORK/$site.err" >&2; exit 1; }
  grep -o 'udp=[^ ]*' "$WORK/$site.out" | cut -d= -f2 | sed 's|$|/1|' >"$WORK/$site.txt"
done

# run N: the playbook once; its output is shown and kept.
run() {
  echo "== ansible-playbook, run $1"
  local status=0
  # From the work folder, so that no ansible.cfg of the caller's folder applies.
  (cd "$WORK" && ansible-playbook -i "$ROOT/examples/ansible/inventory.yml" "$ROOT/examples/ansible/rollout.yml" \
    -e "firmware=$FIRMWARE" -e "norvik_sites_dir=$WORK" -e "norvik_ctl=$CTL" -e "verify_wait_ms=20000") \
    2>&1 | tee "$WORK/run$1.txt" || status=$?
  [[ $status -eq 0 ]] || { echo "ansible-check: run $1 of the playbook failed (exit status $status)" >&2; exit 1; }
}
# recap N SITE: that site's counts in run N's PLAY RECAP, e.g. "changed=1 failed=0".
recap() {
  sed -n "/^PLAY RECAP/,\$p" "$WORK/run$1.txt" | grep "^$2 " | grep -o 'changed=[0-9]* .*failed=[0-9]*' |
    sed 's/ unreachable=[0-9]*//' | tr -s ' '
}

run 1
run 2
for site in site-north site-south; do
  first="$(recap 1 "$site")"
  second="$(recap 2 "$site")"
  [[ "$first" == "changed=1 failed=0" ]] || { echo "ansible-check: run 1 did not change $site: '$first'" >&2; exit 1; }
  [[ "$second" == "changed=0 failed=0" ]] || { echo "ansible-check: run 2 changed $site again: '$second'" >&2; exit 1; }
done
echo "ansible-check: run 1 changed both sites, run 2 changed nothing."
