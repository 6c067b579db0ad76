#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only where it is missing, and checks
# that the compilers and the 64-bit Wine are there and run afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt.sh

packages=(cmake g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64 xvfb googletest
          imagemagick)
missing=()
for package in "${packages[@]}"; do
    apt_installed "$package" || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    apt_refresh bootstrap
    apt_install bootstrap -- "${missing[@]}" || exit 1
fi

for tool in /usr/lib/wine/wine64 i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix cmake \
    Xvfb; do
    command -v "$tool" >/dev/null || { echo "bootstrap: $tool is missing after the install"; exit 1; }
done
/usr/lib/wine/wine64 --version >/dev/null 2>&1 ||
    { echo "bootstrap: /usr/lib/wine/wine64 does not run after the install"; exit 1; }
