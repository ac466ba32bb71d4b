#!/usr/bin/env bash
# Checks the packages that scripts/package.sh left in build-pkg/packages/ (or
# $NORVIK_PACKAGE_BUILD_DIR/packages): lintian finds no error; unpacked into a
# throwaway folder, the programs run from there (versions, hex-info on a
# sample file, the window's silent command-line run), the example program
# builds against the unpacked library packages (CMake and pkg-config) and
# reads a simulated controller, pkg-config resolves the library with only the
# -dev package's dependencies, every public header compiles on its own, the
# Python module imports from its package and reads the simulated controller
# and each Python example runs, the
# desktop entry validates, the manual pages render and the completion answers.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_PACKAGE_BUILD_DIR:-$ROOT/build-pkg}"
PACKAGES="$BUILD/packages"
bash "$ROOT/scripts/install-deps.sh" --package

shopt -s nullglob
debs=("$PACKAGES"/*.deb)
if [[ ${#debs[@]} -ne 4 ]]; then
  echo "check-package: expected four .deb files in $PACKAGES (run bash scripts/package.sh first)" >&2
  exit 1
fi
burner_deb=("$PACKAGES"/norvik-burner_*.deb)

WORK="$(mktemp -d)"
SIM_PID=""
cleanup() {
  [[ -n $SIM_PID ]] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

passed=0
failed=0
check() { # check NAME COMMAND...: runs the command, counts and reports it
  local name=$1
  shift
  if "$@" >"$WORK/out" 2>&1; then
    passed=$((passed + 1))
    echo "ok    $name"
  else
    failed=$((failed + 1))
    echo "FAIL  $name"
    sed 's/^/      /' "$WORK/out"
  fi
}

echo "== dpkg -c ${burner_deb[0]##*/}"
dpkg -c "${burner_deb[0]}"
echo "== lintian"
# Errors fail; warnings are printed for the reader.
check "lintian: no errors" lintian --fail-on error --allow-root "${debs[@]}"
cat "$WORK/out"

ROOTFS="$WORK/root"
for deb in "${debs[@]}"; do dpkg -x "$deb" "$ROOTFS"; done
BIN="$ROOTFS/usr/bin"
VERSION="$(dpkg-deb -f "${burner_deb[0]}" Version)"
VERSION="${VERSION%-*}"
LIBDIR="$(dirname "$(find "$ROOTFS/usr/lib" -name 'libnorvik-controller.so.*' -type f | head -n1)")"
# The unpacked programs run against the unpacked library, not an installed one.
export LD_LIBRARY_PATH="$LIBDIR"
unset DISPLAY WAYLAND_DISPLAY

versions_match() {
  local program
  for program in norvik-burner norvik-ctl norvik-sim norvik-hexgen; do
    [[ "$("$BIN/$program" --version)" == "$program $VERSION" ]] || { echo "$program: $("$BIN/$program" --version)"; return 1; }
  done
}
check "every program --version prints $VERSION" versions_match
check "norvik-hexgen writes a sample file" "$BIN/norvik-hexgen" --type-code 261 --version 2.10 "$WORK/fw.hex"
check "norvik-ctl hex-info on the sample file" "$BIN/norvik-ctl" hex-info "$WORK/fw.hex"
grep -q "Version: 2.10" "$WORK/out" || { echo "hex-info did not show version 2.10"; failed=$((failed + 1)); }
# The silent run needs no controller to end: with none answering it still ends, with status 0.
check "norvik-burner silent command-line run (offscreen)" \
  env QT_QPA_PLATFORM=offscreen timeout 60 "$BIN/norvik-burner" 1 127.0.0.1

"$BIN/norvik-sim" --udp 127.0.0.1:0 --version 2.7 --type-code 261 --restart-on-end >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do grep -q '^ready' "$WORK/sim.out" && break; sleep 0.1; done
SIM_PORT="$(grep -o '127\.0\.0\.1:[0-9]*' "$WORK/sim.out" | head -n1 | cut -d: -f2)"

example_reads() { # example_reads BINARY: the simulated controller's version and type code
  "$1" 127.0.0.1 "$SIM_PORT" | tee /dev/stderr | grep -q "^version 2.7, type code 261,"
}
build_cmake_example() {
  cmake -S "$ROOT/examples/controller-info" -B "$WORK/example" -DCMAKE_PREFIX_PATH="$ROOTFS/usr" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build "$WORK/example" && example_reads "$WORK/example/controller-info"
}
check "example (CMake package) builds and reads the simulated controller" build_cmake_example
# The .pc file as installed, but with its prefix in the unpacked folder.
mkdir -p "$WORK/pkgconfig"
sed "s|^prefix=.*|prefix=$ROOTFS/usr|" "$LIBDIR/pkgconfig/norvik-controller.pc" >"$WORK/pkgconfig/norvik-controller.pc"
export PKG_CONFIG_PATH="$WORK/pkgconfig"
build_pkgconfig_example() {
  g++ -std=c++20 -o "$WORK/controller-info-pc" "$ROOT/examples/controller-info/main.cpp" \
    $(pkg-config --cflags --libs norvik-controller) && example_reads "$WORK/controller-info-pc"
}
check "example (pkg-config) builds and reads the simulated controller" build_pkgconfig_example

# The pkg-config route as on a machine with only the -dev package and what it
# depends on: pkg-config sees the unpacked .pc file and the .pc files of the
# installed packages in the -dev package's dependency closure, nothing else.
# A module the .pc file requires (private ones included) that no dependency
# ships fails here as it would for a user.
dev_deb=("$PACKAGES"/libnorvik-controller-dev_*.deb)
dependency_closure() { # the installed packages the -dev package pulls in, one a line
  {
    for deb in "${debs[@]}"; do printf '%s\t%s\n' "$(dpkg-deb -f "$deb" Package)" "$(dpkg-deb -f "$deb" Depends)"; done
    dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Depends}, ${Pre-Depends}\n' | awk -F'\t' '$1 ~ /^ii/ { print $2 "\t" $3 }'
  } | awk -F'\t' -v start="$(dpkg-deb -f "${dev_deb[0]}" Package)" '
    $1 in deps { next } # the packages made here come first and count, not an installed older build
    { n = split($2, parts, /[,|]/); deps[$1] = ""
      for (i = 1; i <= n; i++) { d = parts[i]; sub(/\(.*/, "", d); gsub(/[ \t]/, "", d); sub(/:.*/, "", d)
                                  if (d != "") deps[$1] = deps[$1] " " d } }
    END { queue[1] = start; seen[start] = 1; head = 1; tail = 1
          while (head <= tail) { p = queue[head++]; if (!(p in deps)) continue; print p
            n = split(deps[p], list, " "); for (i = 1; i <= n; i++) if (!(list[i] in seen)) { seen[list[i]] = 1; queue[++tail] = list[i] } } }'
}
pkgconfig_with_dependencies_only() {
  local package pc
  rm -rf "$WORK/pc-deps" && mkdir -p "$WORK/pc-deps"
  while IFS= read -r package; do
    while IFS= read -r pc; do cp "$pc" "$WORK/pc-deps/"; done < <(dpkg -L "$package" 2>/dev/null | grep '/pkgconfig/[^/]*\.pc$' || true)
  done < <(dependency_closure)
  PKG_CONFIG_PATH="" PKG_CONFIG_LIBDIR="$WORK/pkgconfig:$WORK/pc-deps" pkg-config --cflags --libs norvik-controller
}
check "pkg-config --cflags --libs norvik-controller with only the -dev package's dependencies" pkgconfig_with_dependencies_only
headers_compile() {
  local header status=0
  local cflags
  cflags="$(pkg-config --cflags norvik-controller)"
  while IFS= read -r header; do
    printf '#include <%s>\n' "$header" | g++ -std=c++20 -fsyntax-only -fPIC $cflags -x c++ - ||
      { echo "does not compile alone: $header"; status=1; }
  done < <(cd "$ROOTFS/usr/include/norvik-controller" && find . -name '*.h' -printf '%P\n' | sort)
  return $status
}
check "every installed header compiles on its own" headers_compile

# The Python module from the unpacked package, with Debian's Python 3 (the
# interpreter it is built for), reads the simulated controller; then every
# example script runs against it, the download last (it changes the version).
PYTHON_DIR="$ROOTFS/usr/lib/python3/dist-packages"
EXAMPLES="$ROOTFS/usr/share/doc/python3-norvik-controller/examples"
python_reads() {
  PYTHONPATH="$PYTHON_DIR" /usr/bin/python3 -c '
import sys, norvik
assert norvik.__file__.startswith(sys.argv[2]), norvik.__file__
with norvik.Controller(host="127.0.0.1", udp_port=int(sys.argv[1])) as c:
    ok, info = c.GetControllerInfo()
    assert ok and (info.version_text, info.TypeCode) == ("2.7", 261), info
print(info)' "$SIM_PORT" "$PYTHON_DIR"
}
check "python3 imports norvik from the package and reads the simulated controller" python_reads
check "the module's type stub is installed beside it" test -s "$PYTHON_DIR/norvik.pyi"
python_examples() {
  local script
  export PYTHONPATH="$PYTHON_DIR" XDG_DATA_HOME="$WORK/data"
  runs() { # runs EXPECTED SCRIPT ARG...: the script succeeds and prints a line matching EXPECTED
    local expected=$1 out
    shift
    out="$(/usr/bin/python3 "$EXAMPLES/$@")" && grep -q -- "$expected" <<<"$out" ||
      { echo "$1: $out"; return 1; }
  }
  runs "^version 2.7, type code 261," info.py 127.0.0.1 "$SIM_PORT" &&
    runs "^card 123456 added" add_card.py 127.0.0.1 "$SIM_PORT" 123456 &&
    runs "record(s) read$" transactions.py 127.0.0.1 "$SIM_PORT" &&
    runs "^success$" download.py 127.0.0.1 "$SIM_PORT" "$WORK/fw.hex" &&
    for script in "$ROOT"/examples/python/*.py; do
      [[ -f "$EXAMPLES/${script##*/}" ]] || { echo "not in the package: ${script##*/}"; return 1; }
    done
}
check "the Python examples run against the simulated controller" python_examples

check "the desktop entry validates" desktop-file-validate "$ROOTFS/usr/share/applications/norvik-burner.desktop"
pages_render() {
  local page
  for page in "$ROOTFS"/usr/share/man/man1/*.1.gz; do
    MANWIDTH=80 man -l "$page" >"$WORK/page" 2>"$WORK/page.err" && [[ -s $WORK/page ]] && [[ ! -s $WORK/page.err ]] ||
      { echo "$page:"; cat "$WORK/page.err"; return 1; }
  done
  [[ $(ls "$ROOTFS"/usr/share/man/man1/*.1.gz | wc -l) -eq 4 ]]
}
check "the four manual pages render" pages_render
grep -q "usermod -aG dialout" < <(MANWIDTH=200 man -l "$ROOTFS/usr/share/man/man1/norvik-ctl.1.gz" 2>/dev/null) ||
  { echo "FAIL  norvik-ctl's manual page does not say how to join the dialout group"; failed=$((failed + 1)); }
page_sections() { # the sections a manual page must have, and what they hold
  local page
  page=$(MANWIDTH=200 man -l "$ROOTFS/usr/share/man/man1/norvik-ctl.1.gz" 2>/dev/null)
  for section in "EXIT STATUS" ENVIRONMENT FILES EXAMPLES "COMMAND REFERENCE"; do
    grep -qx "$section" <<<"$page" || { echo "no section $section"; return 1; }
  done
  grep -q NORVIK_COMn <<<"$page" && grep -q XDG_DATA_HOME <<<"$page" && grep -q temp.hex <<<"$page" &&
    grep -q history.sqlite <<<"$page" && grep -q '\$ norvik-ctl --host' <<<"$page"
}
check "norvik-ctl's manual page: command reference, exit status, environment, files, examples" page_sections

completes() { # completes "WORDS BEFORE" CURRENT EXPECTED...: the completion offers each EXPECTED, and no !WORD
  local words=$1 current=$2
  shift 2
  PATH="$BIN:$PATH" bash -c '
    source "$1"; shift
    read -r -a COMP_WORDS <<<"$1"; COMP_WORDS+=("$2"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _norvik_ctl; shift 2
    for want in "$@"; do
      if [[ $want == !* ]]; then
        printf "%s\n" "${COMPREPLY[@]}" | grep -qx -- "${want#!}" && { echo "\"${want#!}\" offered: ${COMPREPLY[*]}"; exit 1; }
      else
        printf "%s\n" "${COMPREPLY[@]}" | grep -qx -- "$want" || { echo "\"$want\" not offered: ${COMPREPLY[*]}"; exit 1; }
      fi
    done
    exit 0' _ "$ROOTFS/usr/share/bash-completion/completions/norvik-ctl" "$words" "$current" "$@"
}
completion_answers() {
  completes "norvik-ctl" "" info download call hex-info &&
    completes "norvik-ctl" "--h" --help --host &&
    completes "norvik-ctl --host 10.0.0.1 --json" "ca" call &&
    completes "norvik-ctl call" "AddUn" AddUnSortedCardA &&
    completes "norvik-ctl door 1" "f" force-open force-close &&
    completes "norvik-ctl --card-bytes" "" 4 7 8 12 &&
    completes "norvik-ctl download f.hex" "--" --yes --in-bootloader --restart-wait --allow-older --host !--ids !--jobs &&
    completes "norvik-ctl fleet" "" download info verify &&
    completes "norvik-ctl fleet download f.hex" "--" --yes --restart-wait --target --in-bootloader !--wait &&
    completes "norvik-ctl scan --ids" "" &&
    completes "norvik-ctl help" "dow" download &&
    NORVIK_COM7=/dev/null completes "norvik-ctl --port" "COM" COM7
}
check "bash completion: commands, each command's options, fleet's subcommands, operations, values, ports" completion_answers

echo "package checks: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
