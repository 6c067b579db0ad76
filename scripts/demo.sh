#!/usr/bin/env bash
# Runs the program beside the simulated remote, which shows four moving lights.
# With a DISPLAY it opens there until you press Esc or close the window. Without one it runs for a
# few seconds under Xvfb, saves a screenshot of the window to build/demo.png and ends with Esc.
set -euo pipefail
cd "$(dirname "$0")/.."

# Inside Xvfb (the script calls itself there): run, take the screenshot, end with Esc.
if [ "${1:-}" = "--headless" ]; then
    source scripts/wine-env.sh build/x64
    wine_start_session
    "$WINE" build/x64/simremote/ir-sensor-test.exe &
    program=$!
    read -r x y width height < <("$WINE" build/x64/demo_helper.exe client | tr -d '\r')
    sleep 4
    import -window root -crop "${width}x${height}+${x}+${y}" +repage build/demo.png
    # A thin frame, so the white client area stands out on a white page.
    convert build/demo.png -bordercolor "#888888" -border 1 build/demo.png
    "$WINE" build/x64/demo_helper.exe esc
    status=0
    wait "$program" || status=$?
    echo "demo: the program ended with exit code $status; screenshot in build/demo.png"
    exit "$status"
fi

scripts/bootstrap.sh
cmake --preset x64 >/dev/null
cmake --build --preset x64 --target simremote demo_helper >/dev/null

source scripts/wine-env.sh build/x64
wine_prepare_prefix
unset SIMREMOTE_SCENARIO SIMREMOTE_LOG

if [ -n "${DISPLAY:-}" ]; then
    echo "demo: press Esc or close the window to end it"
    exec "$WINE" build/x64/simremote/ir-sensor-test.exe
fi

trap wine_end_session EXIT
xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --headless
