#!/usr/bin/env bash
# Takes the pictures of the README (docs/screenshot*.png) and of the user guide
# (app/resources/guide/*.png) from the installed program under Xvfb, against the installed
# simulator, so that the window's link shows where the package puts the user guide. Install the
# package first (README). The pictures go into the repository given, this one by default.
#   scripts/screenshots.sh [repository]
# Needs xvfb, xdotool and imagemagick. LINTAKER_BIN names another folder of installed programs.
set -euo pipefail
repository=$(realpath "${1:-$(dirname "$0")/..}")
docs=$repository/docs
guide=$repository/app/resources/guide
mkdir -p "$docs" "$guide"
bin=${LINTAKER_BIN:-/usr/bin}
# The guide shows this folder, empty, in the file dialog and in the recording's notice line; the
# script's own files are kept elsewhere.
shots=/tmp/ltshots
mkdir "$shots"
cd "$shots"
work=$(mktemp -d)
export DISPLAY=:${LINTAKER_SHOT_DISPLAY:-91}
# A device map of this run alone, so that no other simulator's port shows in the list.
export LINTAKER_DEVICE_MAP=$work/devices

xvfb_pid="" sim_pid="" window_pid="" window=""
# Only what this script started and has not yet seen end is stopped.
cleanup() {
    for pid in "$window_pid" "$sim_pid" "$xvfb_pid"; do
        if [ -n "$pid" ]; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    cd /
    rm -rf "$work" "$shots"
}
trap cleanup EXIT

Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

# Starts the simulator with the given arguments and waits until it has registered its port.
start_sim() {
    "$bin/lintaker-sim" "$@" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do grep -q "^lintaker-sim: COM" "$work/sim.log" && return; sleep 0.1; done
    echo "the simulator did not start:" >&2
    cat "$work/sim.log" >&2
    exit 1
}

# Starts the window, waits until it is shown, puts it near the screen's corner and gives it the
# keyboard.
start_window() {
    "$bin/lintaker" >"$work/window.log" 2>&1 &
    window_pid=$!
    window=$(timeout 20 xdotool search --sync --onlyvisible --name "ORV / ODL - Lintaker" | head -1)
    xdotool windowmove --sync "$window" 2 2
    xdotool windowfocus --sync "$window"
}

# Clicks at a point of the window's client area (button 1, or the button given).
click() {
    xdotool mousemove --window "$window" "$1" "$2" click "${3:-1}"
    sleep 0.3
}

keys() {
    xdotool key --window "$window" "$@"
    sleep 0.3
}

# Takes the window's client area, with the pointer moved off it so that nothing shows hovered.
shoot() {
    xdotool mousemove 1270 790
    sleep 0.5
    import -window "$window" "$1"
    echo "took $1"
}

# Takes the part of the screen that holds the given windows, with what lies on top of them (a
# menu, a dialog).
shoot_screen() {
    local file=$1
    shift
    local left=100000 top=100000 right=0 bottom=0
    for id in "$@"; do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        ((X < left)) && left=$X
        ((Y < top)) && top=$Y
        ((X + WIDTH > right)) && right=$((X + WIDTH))
        ((Y + HEIGHT > bottom)) && bottom=$((Y + HEIGHT))
    done
    sleep 0.5
    import -window root -crop "$((right - left))x$((bottom - top))+${left}+${top}" +repage "$file"
    echo "took $file"
}

# Ends the window (a termination signal closes it as the user would) and then the simulator,
# whose counts are kept in sim.log.
stop_both() {
    kill "$window_pid"
    wait "$window_pid" || true
    window_pid=""
    kill -INT "$sim_pid"
    wait "$sim_pid" || true
    sim_pid=""
    cat "$work/sim.log"
}

# The window as it starts, the simulated bus in its port list.
start_sim bus
start_window
shoot "$docs/screenshot.png"
stop_both

# Polling a bus whose adapter echoes every request, with split answers and noise between them.
start_sim bus --echo --split 7 --noise
start_window
click 86 200 # Connect
sleep 2.7    # seven polls: the log just full, its first request at the top
shoot "$docs/screenshot-polling.png"
stop_both

# Monitoring an RS232 device with the device classes shown.
start_sim device
start_window
click 177 204 # monitoring (RS232)
click 34 230  # with Protocol
click 86 200  # Connect
sleep 9       # eight messages and their answers
shoot "$docs/screenshot-monitoring.png"
# The same with the control bytes named.
keys ctrl+h
shoot "$guide/control-bytes.png"
stop_both

# The log tools while polling, with time stamps: the context menu, choosing a file to record to,
# and the recording's notice line.
start_sim bus
start_window
click 86 200 # Connect
keys ctrl+t
sleep 4
xdotool mousemove --window "$window" 192 320 click 3
shoot_screen "$guide/context-menu.png" "$window"
xdotool key Escape
sleep 0.3
keys ctrl+r
dialog=$(timeout 5 xdotool search --sync --onlyvisible --name "Record" | head -1)
# Without a window manager the dialog would cover the window's corner; a desktop offsets it.
xdotool windowmove --sync "$dialog" 54 54
xdotool type --delay 20 "$shots/traffic-$(date +%H%M%S).log"
xdotool mousemove 1270 790
shoot_screen "$guide/record-dialog.png" "$window" "$dialog"
xdotool key Return
sleep 1.2 # the notice line and a poll or two after it
shoot "$guide/recording.png"
stop_both

# The bus overview beside the log, for a bus with silent addresses and wrong checksums.
start_sim bus --silent 3,7 --bad-checksum 5 --delay 12
start_window
click 86 200 # Connect
keys ctrl+t
sleep 22 # four or five polls of every address
keys ctrl+b
overview=$(timeout 5 xdotool search --sync --onlyvisible --name "Bus overview" | head -1)
xdotool windowmove --sync "$overview" 624 2
xdotool mousemove 1270 790
shoot_screen "$guide/bus-overview.png" "$window" "$overview"
stop_both
