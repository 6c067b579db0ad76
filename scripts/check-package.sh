#!/usr/bin/env bash
# Checks the release archive of the 32-bit build: it holds the program, the real HID library,
# the README and the LICENSE; both binaries are 32-bit Windows files with version info that import
# nothing but Windows' own DLLs (and none that a DLL beside them could replace), and together they
# take at most 100 KB.
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
# Fully static: only Windows' own DLLs (and the program's HID library) are imported, and only
# those that Windows always takes from its system folder: hid.dll is not one, and the loader
# would look for it beside the program first (the library loads it from the system folder).
imports=$(i686-w64-mingw32-objdump -p "$folder/ir-sensor-test.exe" "$folder/tiny_hid_dll.dll" |
    sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
    case $dll in
    kernel32.dll | user32.dll | gdi32.dll | msvcrt.dll | setupapi.dll | tiny_hid_dll.dll) ;;
    hid.dll) echo "package: a binary imports hid.dll, which a hid.dll beside it would replace"; exit 1 ;;
    *) echo "package: a binary imports $dll, which Windows does not have"; exit 1 ;;
    esac
done
size=$(( $(stat -c %s "$folder/ir-sensor-test.exe") + $(stat -c %s "$folder/tiny_hid_dll.dll") ))
[ "$size" -le 102400 ] ||
    { echo "package: the program and its HID library take $size bytes, more than 100 KB"; exit 1; }
if cmp -s "$folder/tiny_hid_dll.dll" build/x86/simremote/tiny_hid_dll.dll; then
    echo "package: the simulated remote was packed instead of the real HID library"
    exit 1
fi
echo "package: $archive holds the 32-bit program and its HID library ($((size / 1024)) KB," \
    "static), README and LICENSE"
