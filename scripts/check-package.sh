#!/usr/bin/env bash
# Checks the release archive of the 32-bit build: it holds the program, the real HID library,
# the README and the LICENSE, and both binaries are 32-bit Windows files with version info.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(IrSensorTest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
archive="build/x86/ir-sensor-test-$version-win32.zip"
[ -f "$archive" ] || { echo "package: $archive is missing"; exit 1; }

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$OLDPWD/$archive")
folder="$unpacked/ir-sensor-test-$version-win32"
for file in ir-sensor-test.exe tiny_hid_dll.dll README.md LICENSE; do
    [ -f "$folder/$file" ] || { echo "package: $file is not in $archive"; exit 1; }
done
for binary in ir-sensor-test.exe tiny_hid_dll.dll; do
    i686-w64-mingw32-objdump -f "$folder/$binary" | grep -q "file format pei-i386" ||
        { echo "package: $binary is not PE32"; exit 1; }
    # The product name, in the UTF-16 of the version resource.
    grep -q -a -P 'I\x00R\x00 \x00S\x00e\x00n\x00s\x00o\x00r\x00 \x00T\x00e\x00s\x00t' \
        "$folder/$binary" ||
        { echo "package: $binary has no version information"; exit 1; }
done
if cmp -s "$folder/tiny_hid_dll.dll" build/x86/simremote/tiny_hid_dll.dll; then
    echo "package: the simulated remote was packed instead of the real HID library"
    exit 1
fi
echo "package: $archive holds the 32-bit program, its HID library, README and LICENSE"
