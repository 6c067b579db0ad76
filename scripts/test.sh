#!/usr/bin/env bash
# Builds both targets and the 32-bit release archive, checks the archive, and runs every test of
# the x86_64 build under Wine, with Xvfb as display.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

cmake --preset x86 >/dev/null
cmake --build --preset x86
cmake --build --preset x86 --target package >/dev/null
scripts/check-package.sh
cmake --preset x64 >/dev/null
cmake --build --preset x64

source scripts/wine-env.sh build/x64
wine_prepare_prefix
# The server is ended before the screen, so that no desktop process outlives the display it was
# started on.
trap 'wine_end_session; wine_end_virtual_screen' EXIT
wine_virtual_screen
wine_start_session
wine_install_virtremote
ctest --preset x64 -LE wow64 "$@"
