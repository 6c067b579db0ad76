# Sourced by the scripts: the Wine environment of the x86_64 build, with its own prefix.
# Usage: source scripts/wine-env.sh BUILD_DIR [PREFIX]     (the prefix: BUILD_DIR/wineprefix)
wine_build_dir=$(cd "$1" && pwd)
export WINEPREFIX="${2:-$wine_build_dir/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINE=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver

# One run at a time in a prefix: a run starts its session by ending any server it finds there, and
# would end another run's server (and every program of it) in the middle of a test. The lock is
# taken once per run (the shells a run starts inherit it) and held until the run's shell ends.
wine_lock_prefix() {
    [ "${WINE_PREFIX_LOCKED:-}" = "$WINEPREFIX" ] && return 0
    mkdir -p "$WINEPREFIX"
    exec 9>>"$WINEPREFIX/.run.lock"
    if ! flock -n 9; then
        echo "wine: waiting for another run in $WINEPREFIX to end"
        flock -w 1800 9 || { echo "wine: $WINEPREFIX is still in use after 30 minutes"; exit 1; }
    fi
    export WINE_PREFIX_LOCKED="$WINEPREFIX"
}

# Makes the prefix on first use. A crash must end the program with its exception code rather
# than open the debugger's dialog, which would hang a test.
wine_prepare_prefix() {
    wine_lock_prefix
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
    wine_lock_prefix
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -p 9>&-
    "$WINE" wineboot >/dev/null 2>&1 </dev/null 9>&-
}

wine_end_session() {
    "$WINESERVER" -k 2>/dev/null || true
}

# The virtual remote (rig/virtremote/) in the prefix, under Wine's HID class driver: installs it, or
# brings it back if a run removed it, and waits until SetupAPI shows it. Inside a session; a new
# driver needs a new server, and then the session is started again. Says why in one line when
# Wine refuses.
wine_virtremote() {
    "$WINE" "$wine_build_dir/virtremote_setup.exe" "$@" 2>/dev/null </dev/null 9>&- | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

wine_install_virtremote() {
    local driver="$wine_build_dir/virtremote/virtremote.sys"
    local installed="$WINEPREFIX/drive_c/windows/system32/drivers/virtremote.sys"
    local fresh=0
    cmp -s "$driver" "$installed" || fresh=1
    local says
    says=$(wine_virtremote install "Z:${wine_build_dir//\//\\}\\virtremote") || {
        echo "$says"
        return 1
    }
    # Wine's setup does not copy a rebuilt driver over the one it installed before.
    [ "$fresh" = 0 ] || cp "$driver" "$installed"
    if [ "$fresh" = 1 ] || ! wine_virtremote wait present 10 >/dev/null; then
        # Wine's PnP manager starts a driver it has not loaded yet only when the server starts.
        "$WINESERVER" -k 2>/dev/null || true
        "$WINESERVER" -w
        wine_start_session
        wine_virtremote wait present 60 || return 1
    fi
    echo "wine: the virtual remote is installed in $WINEPREFIX"
}

wine_remove_virtremote() {
    wine_virtremote remove && wine_virtremote wait absent 30
}
