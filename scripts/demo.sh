#!/usr/bin/env bash
# Runs the program with a remote that shows four moving lights: the simulated remote (a DLL beside
# a copy of the program), or with --virtual the real HID library and the virtual remote on Wine's
# HID stack.
# With a DISPLAY it opens there until you press Esc or close the window. Without one it runs for a
# few seconds under Xvfb, saves a screenshot of the window to build/demo.png and ends with Esc.
#     scripts/demo.sh [--virtual]
set -euo pipefail
cd "$(dirname "$0")/.."

remote=simulated
program=build/x64/simremote/ir-sensor-test.exe
if [ "${1:-}" = "--virtual" ]; then
    remote=virtual
    program=build/x64/ir-sensor-test.exe
    shift
fi

# The virtual remote in the prefix, playing its demo from the program's first report on.
use_virtual_remote() {
    wine_install_virtremote
    wine_virtremote configure "" "" >/dev/null
}

# Inside Xvfb (the script calls itself there): run, take the screenshot, end with Esc.
if [ "${1:-}" = "--headless" ]; then
    source scripts/wine-env.sh build/x64
    wine_start_session
    [ "$remote" = virtual ] && use_virtual_remote
    "$WINE" "$program" &
    pid=$!
    read -r x y width height < <("$WINE" build/x64/demo_helper.exe client | tr -d '\r')
    sleep 4
    import -window root -crop "${width}x${height}+${x}+${y}" +repage build/demo.png
    # A thin frame, so the white client area stands out on a white page.
    convert build/demo.png -bordercolor "#888888" -border 1 build/demo.png
    "$WINE" build/x64/demo_helper.exe esc
    status=0
    wait "$pid" || status=$?
    echo "demo: the program ended with exit code $status; screenshot in build/demo.png"
    exit "$status"
fi

scripts/bootstrap.sh
cmake --preset x64 >/dev/null
cmake --build --preset x64 --target simremote demo_helper virtremote_setup >/dev/null

source scripts/wine-env.sh build/x64
wine_prepare_prefix
unset SIMREMOTE_SCENARIO TINY_HID_CAPTURE

if [ -n "${DISPLAY:-}" ]; then
    if [ "$remote" = virtual ]; then
        wine_start_session
        trap wine_end_session EXIT
        use_virtual_remote
    fi
    echo "demo: press Esc or close the window to end it"
    "$WINE" "$program"
    exit
fi

trap 'wine_end_session; wine_end_virtual_screen' EXIT
wine_virtual_screen
if [ "$remote" = virtual ]; then
    "$0" --virtual --headless
else
    "$0" --headless
fi
