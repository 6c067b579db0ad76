# Sourced by the scripts: the Wine environment of a build, with its own prefix.
# Usage: source scripts/wine-env.sh BUILD_DIR [PREFIX [ARCH]]
#     PREFIX: BUILD_DIR/wineprefix by default. ARCH: win64 (the 64-bit loader, and with the
#     32-bit Wine installed a WoW64 prefix) or win32 (the 32-bit loader and prefix, everything
#     under emulation).
wine_build_dir=$(cd "$1" && pwd)
export WINEPREFIX="${2:-$wine_build_dir/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINESERVER=/usr/lib/wine/wineserver
if [ "${3:-win64}" = win32 ]; then
    export WINE=/usr/lib/wine/wine WINEARCH=win32
else
    export WINE=/usr/lib/wine/wine64
    unset WINEARCH
fi
# How much longer than natively each step may take: in a 32-bit prefix everything runs under
# emulation, server included, and making the prefix took 13 to 20 minutes.
wine_slowness=1 wine_prefix_bound=600
[ "${3:-win64}" != win32 ] || wine_slowness=5 wine_prefix_bound=2400

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

# wine_bounded SECONDS STEP COMMAND...
# Runs the command (a function too) in a process group of its own, for at most SECONDS. One that
# runs out of its bound is ended, its group by id and every Wine process of the prefix with it
# (Wine starts some of its processes in sessions of their own), and tried once more; if it runs
# out again, one line says which step and after how long, and the status is 124. Otherwise the
# command's own status. Under emulation Wine can hang for good (a pipe read nobody answers), so
# nothing that waits on it goes unbounded.
wine_bounded() {
    local bound=$1 step=$2 try started pid timer ended status
    shift 2
    for try in 1 2; do
        started=$(date +%s)
        set -m
        "$@" </dev/null &
        pid=$!
        # The timer must not hold the prefix's lock: it may outlive a run that is ended by force.
        sleep "$bound" 9>&- &
        timer=$!
        set +m
        status=0
        wait -n -p ended "$pid" "$timer" || status=$?
        if [ "$ended" = "$pid" ]; then
            kill "$timer" 2>/dev/null || true
            wait "$timer" 2>/dev/null || true
            return "$status"
        fi
        # Its steps may have groups of their own (a bounded step inside it): its whole tree too.
        local tree
        tree=$(wine_descendants "$pid")
        kill -KILL -- "-$pid" 2>/dev/null || true
        # shellcheck disable=SC2086
        [ -z "$tree" ] || kill -KILL $tree 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        wine_end_everything
        [ "$try" = 2 ] || echo "wine: $step ran out of its ${bound} s bound; ended, trying once more"
    done
    echo "wine: $step ran out of its ${bound} s bound twice, the second time after" \
        "$(( $(date +%s) - started )) s: giving up"
    return 124
}

wine_descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        echo "$child"
        wine_descendants "$child"
    done
}

# Every process of the prefix ended: by its server where it answers, and whatever is left (a
# server that no longer answers, processes that lost theirs) by force. Only Wine's own
# processes, found by their prefix: the scripts that run them carry it too.
wine_end_everything() {
    timeout -k 5 "$(( 30 * wine_slowness ))" "$WINESERVER" -k >/dev/null 2>&1 || true
    local entry pid exe
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        exe=$(readlink "$entry/exe" 2>/dev/null) || continue
        case "${exe##*/}" in
        wine* | qemu-i386*) ;;
        *) continue ;;
        esac
        tr '\0' '\n' <"$entry/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            kill -KILL "$pid" 2>/dev/null
    done
    return 0
}

# The debugger Wine names for a crash, in both registry views: a 32-bit program under WoW64
# reads its own (Wow6432Node). With none, a crash ends the program with its exception code at
# once; with one, a crashed program under emulation starts the debugger and hangs its test.
# Read and edited in the registry's file while no server runs, which costs no program start
# (a minute each under emulation).
wine_debugger_values() {
    awk '/^\[/ { aedebug = index($0, "\\AeDebug]") > 0 } aedebug && /^"Debugger"=/' \
        "$WINEPREFIX/system.reg"
}
wine_forget_debugger() {
    [ -n "$(wine_debugger_values)" ] || return 0
    awk '/^\[/ { aedebug = index($0, "\\AeDebug]") > 0 } !(aedebug && /^"Debugger"=/)' \
        "$WINEPREFIX/system.reg" >"$WINEPREFIX/system.reg.new"
    mv "$WINEPREFIX/system.reg.new" "$WINEPREFIX/system.reg"
    [ -z "$(wine_debugger_values)" ] ||
        { echo "wine: $WINEPREFIX still names a debugger for a crash"; return 1; }
}

# Makes the prefix on first use, with no debugger for a crash. A prefix is ready once its last
# step is done (.ready); one that a step left half made is made again from nothing. With the 32-bit
# Wine installed, even a 64-bit prefix sets up its 32-bit half under emulation, which can break
# (wineboot then ends with an error): a broken making is tried again, three times in all.
wine_make_prefix() {
    rm -rf "$WINEPREFIX/drive_c" "$WINEPREFIX/dosdevices" "$WINEPREFIX"/*.reg
    local status=0
    "$WINE" wineboot -i >"$WINEPREFIX/.making.log" 2>&1 || status=$?
    "$WINESERVER" -w
    if [ "$status" != 0 ]; then
        echo "wine: making the prefix ended with status $status; its last words:"
        grep -v fixme "$WINEPREFIX/.making.log" | tail -n 5 | sed 's/^/    /'
        return 1
    fi
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine: the prefix was not made"; return 1; }
}
wine_prepare_prefix() {
    wine_lock_prefix
    [ -f "$WINEPREFIX/.ready" ] && return 0
    local try
    for try in 1 2 3; do
        if [ "$try" = 1 ]; then
            echo "wine: making the prefix $WINEPREFIX"
        else
            echo "wine: making the prefix again (try $try of 3)"
        fi
        wine_bounded "$wine_prefix_bound" "making the prefix" wine_make_prefix && break
        [ "$try" != 3 ] || return 1
    done
    wine_forget_debugger || return 1
    touch "$WINEPREFIX/.ready"
}

# Starts a Wine server that lives until wine_end_session, with its services and desktop up.
# They are started here with their output thrown away: started later by a test, they would hold
# that test's output pipe open and CTest would wait for it forever.
# A server left over from an earlier run may be tied to a display that is gone: it is ended first.
wine_start_session() {
    wine_lock_prefix
    local slow=$wine_slowness
    wine_bounded $(( 60 * slow )) "ending an earlier server" wine_end_server || return 1
    # Checked at every start: an update of Wine may write its defaults into an old prefix.
    wine_forget_debugger || return 1
    wine_bounded $(( 30 * slow )) "starting the server" "$WINESERVER" -p 9>&- || return 1
    wine_bounded $(( 120 * slow )) "starting the session" wine_boot_session || return 1
}
wine_boot_session() {
    "$WINE" wineboot >/dev/null 2>&1 9>&-
}
# Ended, and gone: the registry is saved as the server ends.
wine_end_server() {
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
}

wine_end_session() {
    wine_bounded $(( 60 * wine_slowness )) "ending the session" wine_end_server
    return 0
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
    wine_bounded 300 "installing the virtual remote" wine_install_virtremote_unbounded
}
wine_install_virtremote_unbounded() {
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

# A virtual screen for the programs: Xvfb on a display no other run uses, DISPLAY set to it, and
# ended with the shell that started it (wine_end_virtual_screen).
wine_virtual_screen() {
    local number
    for number in $(seq 90 189); do
        [ -e "/tmp/.X$number-lock" ] && continue
        Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null 9>&- &
        wine_screen_pid=$!
        local waited
        for waited in $(seq 50); do
            [ -S "/tmp/.X11-unix/X$number" ] && break
            kill -0 "$wine_screen_pid" 2>/dev/null || break
            sleep 0.2
        done
        if [ -S "/tmp/.X11-unix/X$number" ] && kill -0 "$wine_screen_pid" 2>/dev/null; then
            export DISPLAY=":$number"
            return 0
        fi
        kill "$wine_screen_pid" 2>/dev/null || true
    done
    echo "wine: no virtual screen could be started"
    return 1
}
wine_end_virtual_screen() {
    [ -z "${wine_screen_pid:-}" ] || kill "$wine_screen_pid" 2>/dev/null || true
    wine_screen_pid=
}
