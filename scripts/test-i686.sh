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

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if ! installed qemu-user-static || ! installed wine32:i386; then
    echo "test-i686: installing qemu-user-static and wine32:i386"
    dpkg --add-architecture i386
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        qemu-user-static wine32:i386 >/dev/null
fi

binfmt=/proc/sys/fs/binfmt_misc
if ! mountpoint -q "$binfmt" && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
    echo "test-i686: the machine refuses the emulation: binfmt_misc cannot be mounted; not run"
    exit 0
fi
if [ ! -e "$binfmt/qemu-i386" ] &&
    ! echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >"$binfmt/register" 2>/dev/null; then
    echo "test-i686: the machine refuses the emulation: qemu-i386 cannot be registered; not run"
    exit 0
fi

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
