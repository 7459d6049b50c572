#!/usr/bin/env bash
# Installs what the builds and the tests need on Debian or Ubuntu, only the
# packages that are missing, so running it again costs nothing.
set -euo pipefail

packages=(
    cmake make g++ googletest python3
    g++-mingw-w64-x86-64-posix
    wine64 xvfb socat xauth x11-utils imagemagick xdotool
    lrzsz nsis wixl icoutils
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
