#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need, if any is missing.
# Runs apt-get as root, or through sudo otherwise.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev libssl-dev libarchive-dev
    libsodium-dev minisign libzstd-dev
    zip unzip libarchive-tools openssl python3
    nginx-light curl
    xvfb xauth xdotool x11-apps fonts-dejavu-core
    e2fsprogs util-linux procps psmisc
    clang clang-format libclang-rt-14-dev
    mingw-w64-x86-64-dev g++-mingw-w64-x86-64-posix
    qt6-base-dev-tools libz-mingw-w64-dev wine64 xclip xz-utils
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi

echo "Installing: ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
