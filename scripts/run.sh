#!/usr/bin/env bash
# Builds the release preset and starts the Lintaker window. Unless a real port is wanted
# (LINTAKER_NO_SIM=1), the bundled field-device simulator is started beside it, so the
# window lists a simulated RS485 bus as a COM port. Extra arguments go to lintaker-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lintaker_install_missing

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
bin=build/release/bin

sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; true; }
trap cleanup EXIT

if [ "${LINTAKER_NO_SIM:-0}" != 1 ] && [ -x "$bin/lintaker-sim" ]; then
    if [ $# -eq 0 ]; then set -- bus; fi
    "$bin/lintaker-sim" "$@" &
    sim_pid=$!
    # The simulator registers its port before it reports ready; give it a moment to appear.
    map=${LINTAKER_DEVICE_MAP:-}
    if [ -z "$map" ]; then
        if [ -n "${XDG_RUNTIME_DIR:-}" ]; then map=$XDG_RUNTIME_DIR/lintaker/devices; else map=/tmp/lintaker-$(id -u)/devices; fi
    fi
    for _ in $(seq 50); do
        compgen -G "$map/COM*" >/dev/null && break
        sleep 0.1
    done
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting the window under Xvfb on :99 (connect a VNC viewer or use a desktop)."
    Xvfb :99 -screen 0 1024x768x24 >/dev/null 2>&1 &
    xvfb_pid=$!
    trap 'cleanup; kill $xvfb_pid 2>/dev/null' EXIT
    export DISPLAY=:99
    sleep 1
fi
"$bin/lintaker"
