#!/usr/bin/env bash
# Runs the 32-bit deliverable. This kernel cannot execute 32-bit code, but user-mode emulation
# can: qemu runs 32-bit Wine, which runs the i686 program beside the i686 simulated remote (slowly:
# the prefix takes minutes to make, each program start about a minute). Checks that the window
# comes up with its crosses, that Esc ends it with exit code 0 after the 1 + 20 reports and the
# final 12 00 30, and that with no remote it says "Wii-Remote not found." and exits with 1.
# Where the machine refuses the emulation, says so in one line and exits with 0.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset x86 >/dev/null
cmake --build --preset x86 >/dev/null

source scripts/apt.sh
wine32_ready() {
    apt_installed qemu-user-static && apt_installed wine32:i386 && apt_installed wine64 &&
        [ -x /usr/lib/wine/wine ] && [ -x /usr/lib/wine/wine64 ]
}
# Says why in one line and ends with 0; the 64-bit set-up is left as it was.
not_run() {
    echo "test-i686: not run: $1"
    exit 0
}

# The suites whose i386 and amd64 versions match: every configured source but the security
# suite, whose i386 index can lag behind (or fail to download) while the installed amd64
# libraries already carry its updates. Kept apart from the system's own indexes, and preferred
# even where that means going back to the suite's version of a library the install shares
# between the two architectures.
install_from_matched_suites() {
    local matched
    matched=$(mktemp -d)
    mkdir -p "$matched/parts" "$matched/lists/partial"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" } !/Suites:[^\n]*-security/' "$file" \
            >"$matched/parts/$(basename "$file")"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        grep -v -- '-security' "$file" >"$matched/parts/$(basename "$file").list" || true
    done
    printf 'Package: *\nPin: release o=Debian\nPin-Priority: 1001\n' >"$matched/preferences"
    local options=(-o "Dir::Etc::SourceParts=$matched/parts" -o Dir::Etc::SourceList=/dev/null
                   -o "Dir::State::Lists=$matched/lists"
                   -o "Dir::Etc::Preferences=$matched/preferences"
                   -o "Dir::Etc::PreferencesParts=$matched/none")
    local status=0
    apt_refresh test-i686 "${options[@]}"
    apt_install test-i686 "${options[@]}" --allow-downgrades -- qemu-user-static wine32:i386 ||
        status=1
    rm -rf "$matched"
    return $status
}

binfmt=/proc/sys/fs/binfmt_misc
if ! mountpoint -q "$binfmt" && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
    not_run "the machine refuses the emulation: binfmt_misc cannot be mounted"
fi

if ! wine32_ready; then
    echo "test-i686: installing qemu-user-static and wine32:i386"
    added_i386=no
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        added_i386=yes
    fi
    apt_refresh test-i686
    if ! apt_install test-i686 -- qemu-user-static wine32:i386; then
        echo "test-i686: trying the suites whose i386 and amd64 versions match"
        if ! install_from_matched_suites; then
            [ $added_i386 = no ] || dpkg --remove-architecture i386 2>/dev/null || true
            not_run "the 32-bit Wine cannot be installed beside the 64-bit one"
        fi
    fi
    wine32_ready || not_run "the 32-bit Wine is incomplete after its install"
fi
# No install may have cost the 64-bit tests their Wine.
/usr/lib/wine/wine64 --version >/dev/null 2>&1 ||
    { echo "test-i686: /usr/lib/wine/wine64 no longer runs"; exit 1; }

if [ ! -e "$binfmt/qemu-i386" ] &&
    ! echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >"$binfmt/register" 2>/dev/null; then
    not_run "the machine refuses the emulation: qemu-i386 cannot be registered"
fi
/usr/lib/wine/wine --version >/dev/null 2>&1 ||
    not_run "the 32-bit loader /usr/lib/wine/wine does not start under the emulation"
echo "test-i686: both loaders run: $(/usr/lib/wine/wine64 --version) (64-bit) and 32-bit"

# A 32-bit prefix of its own, made once and kept in the build folder.
export WINEPREFIX="$PWD/build/x86/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
started=$(date +%s)
trap '"$wineserver" -k 2>/dev/null || true' EXIT

# Made under Xvfb in one Wine session: the prefix, then no debugger's dialog for a crash, which
# must end the program instead. Wine's background processes get two minutes to finish (the
# registry is saved when the server ends) before they are ended.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "test-i686: making the 32-bit Wine prefix (several minutes under emulation)"
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        "$1" wineboot -i
        "$1" reg delete "HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug" \
            /v Debugger /f
        timeout 120 "$0" -w || "$0" -k' "$wineserver" "$wine" >/dev/null 2>&1 || true
    [ -f "$WINEPREFIX/system.reg" ] || { echo "test-i686: the 32-bit prefix was not made"; exit 1; }
fi

echo "test-i686: running the i686 program under emulation"
# Into a file, not a pipe: Wine's background processes inherit the output and would hold a pipe
# open after the check has ended; they are ended with the check.
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c \
    '"$0" -p && "$1" build/x86/run_check.exe; status=$?; "$0" -k; exit $status' \
    "$wineserver" "$wine" >build/x86/run_check.log 2>&1 || status=$?
echo "test-i686: done in $(( $(date +%s) - started )) s"
tr -d '\r' <build/x86/run_check.log
exit "$status"
