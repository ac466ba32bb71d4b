#!/usr/bin/env bash
# The README's main job. Until the simulator and norvik-ctl land it builds the
# project and says what is coming.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/install-deps.sh"
bash "$ROOT/scripts/build.sh"
echo "demo: built. The simulated firmware download arrives with norvik-sim and norvik-ctl."
