#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only where it is missing.
set -euo pipefail

packages=(cmake g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64 xvfb xauth googletest
          imagemagick)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
