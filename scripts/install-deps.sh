#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need, only
# when some are missing. Works as root, or through sudo for another user.
set -euo pipefail

PACKAGES=(
  g++ make cmake
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libqt6sql6-sqlite
  libgtest-dev libgmock-dev
  pybind11-dev python3-dev python3-pytest
)
for option in "$@"; do
  case "$option" in
    --gui) PACKAGES+=(xvfb xauth) ;;
    # clang 14 and its runtime libraries: libFuzzer and the sanitizers' runtimes
    # are only a recommendation of the compiler package, so they are named here.
    --fuzz) PACKAGES+=(clang libclang-rt-14-dev) ;;
    # scripts/bench-fleet.sh takes wall time and peak memory from GNU time.
    --bench) PACKAGES+=(time) ;;
    # scripts/ansible-check.sh runs the Ansible example with Debian's Ansible.
    --ansible) PACKAGES+=(ansible-core) ;;
    # The Debian packages and their checks: shlibdeps (dpkg-dev), manual pages
    # made from --help, icons drawn from the SVG, lintian, the desktop entry's
    # validator, man to render the pages, pkg-config for the library's .pc file.
    --package) PACKAGES+=(dpkg-dev help2man librsvg2-bin lintian desktop-file-utils man-db pkgconf file) ;;
    *) echo "install-deps: unknown option $option (known: --gui, --fuzz, --bench, --package, --ansible)" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "install-deps: missing packages (${missing[*]}) and neither root nor sudo is available." >&2
  echo "install-deps: run this command as root, or install the packages by hand." >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have empty package lists: fetch them first in that case,
# and once more if the install fails on stale lists.
if [[ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e '^lock$' -e '^partial$' -e '^auxfiles$')" ]]; then
  "${SUDO[@]}" apt-get update
fi
if ! "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${SUDO[@]}" apt-get update
  "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
