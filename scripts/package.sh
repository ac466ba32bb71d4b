#!/usr/bin/env bash
# Builds the Debian packages: installs what is missing, configures a release
# build without tests into build-pkg/ (or $NORVIK_PACKAGE_BUILD_DIR), a folder
# of its own, and runs cpack. The .deb files end up in build-pkg/packages/:
#   norvik-burner_VERSION_ARCH.deb             the window and the command-line programs
#   libnorvik-controller1_VERSION_ARCH.deb     the controller component (shared library)
#   libnorvik-controller-dev_VERSION_ARCH.deb  its headers, CMake package and pkg-config file
#   python3-norvik-controller_VERSION_ARCH.deb the Python module norvik
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${NORVIK_PACKAGE_BUILD_DIR:-$ROOT/build-pkg}"
JOBS="${NORVIK_JOBS:-2}"
bash "$ROOT/scripts/install-deps.sh" --package

# Files and folders in the packages are rwxr-xr-x / rw-r--r--, whatever the user's umask.
umask 022
# Debian's hardening and optimisation flags (stack protector, fortified
# functions, read-only relocations), as a Debian build gets them.
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DNORVIK_BUILD_TESTS=OFF -DNORVIK_PACKAGE=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS"
rm -rf "$BUILD/packages"
(cd "$BUILD" && cpack -B "$BUILD/packages" >/dev/null)
rm -rf "$BUILD/packages/_CPack_Packages"

# cpack gives a package with a shared library ldconfig calls in postinst and
# postrm; the library package's trigger does that job, so it is rebuilt
# without maintainer scripts.
for deb in "$BUILD"/packages/libnorvik-controller[0-9]*_*.deb; do
  unpacked="$BUILD/packages/repack"
  rm -rf "$unpacked"
  dpkg-deb -R "$deb" "$unpacked"
  rm -f "$unpacked/DEBIAN/postinst" "$unpacked/DEBIAN/postrm"
  dpkg-deb --root-owner-group -b "$unpacked" "$deb" >/dev/null
  rm -rf "$unpacked"
done
ls -l "$BUILD"/packages/*.deb
