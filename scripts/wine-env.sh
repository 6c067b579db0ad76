# Sourced by the scripts: the Wine environment of the x86_64 build, with its own prefix.
# Usage: source scripts/wine-env.sh BUILD_DIR
wine_build_dir=$(cd "$1" && pwd)
export WINEPREFIX="$wine_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINE=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver

# Makes the prefix on first use. A crash must end the program with its exception code rather
# than open the debugger's dialog, which would hang a test.
wine_prepare_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine: making the prefix $WINEPREFIX"
        "$WINE" wineboot -i >/dev/null 2>&1
        "$WINESERVER" -w
        "$WINE" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
            /v Debugger /f >/dev/null 2>&1 || true
        "$WINESERVER" -w
    fi
}

# Starts a Wine server that lives until wine_end_session, with its services and desktop up.
# They are started here with their output thrown away: started later by a test, they would hold
# that test's output pipe open and CTest would wait for it forever.
# A server left over from an earlier run may be tied to a display that is gone: it is ended first.
wine_start_session() {
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -p
    "$WINE" wineboot >/dev/null 2>&1 </dev/null
}

wine_end_session() {
    "$WINESERVER" -k 2>/dev/null || true
}
