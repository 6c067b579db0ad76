#!/usr/bin/env bash
# Installs or removes the virtual remote (a HID device on Wine's HID class driver) in the Wine
# prefix of the x86_64 build. Installing again is harmless: it brings back a remote a run removed
# and loads a rebuilt driver.
#     scripts/virtremote.sh install|remove
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
install | remove) ;;
*)
    echo "usage: scripts/virtremote.sh install|remove"
    exit 2
    ;;
esac
[ -f build/x64/virtremote/virtremote.sys ] || cmake --build --preset x64 --target virtremote_setup
source scripts/wine-env.sh build/x64
wine_prepare_prefix
wine_start_session
trap wine_end_session EXIT
if [ "$1" = install ]; then
    wine_install_virtremote
else
    wine_remove_virtremote
fi
