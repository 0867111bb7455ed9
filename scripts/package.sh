#!/usr/bin/env bash
# Builds the release preset and makes the Debian package from it, lintaker_<version>_<arch>.deb in
# the repository's top folder, and checks it with lintian. Install it with
#   sudo apt-get install ./lintaker_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
# dpkg-shlibdeps (dpkg-dev) finds the packages of the libraries the programs link to.
lintaker_install_missing dpkg-dev lintian

# The package installs under /usr, and the manual pages name the guide's path there. The programs
# are hardened as Debian builds its own packages (stack protector, checked string functions,
# read-only relocations resolved at start).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake --preset release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build --preset release -j "$(nproc)"

out=build/release/package
rm -rf "$out"
cpack --config build/release/CPackConfig.cmake -B "$out"
rm -f lintaker_*.deb
cp "$out"/lintaker_*.deb .
deb=$(ls lintaker_*.deb)

echo "=== lintian ${deb} ==="
lintian --fail-on error --display-info "$deb"
echo "Made ${deb}; install it with: sudo apt-get install ./${deb}"
