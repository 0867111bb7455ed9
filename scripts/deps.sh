#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Lintaker need, when missing.
# Sourced by run.sh and test.sh; safe to run again.
set -euo pipefail

lintaker_packages=(
    g++ clang cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    xvfb xauth fonts-dejavu-core fonts-liberation2 desktop-file-utils
)

lintaker_install_missing() {
    local missing=()
    for package in "${lintaker_packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}
