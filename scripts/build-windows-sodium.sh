#!/usr/bin/env bash
# Builds libsodium for x86_64-w64-mingw32 as a static library, from Debian 12's own libsodium
# source package with Debian's patches applied, for a Windows build with a release key (an updater
# that checks release signatures). Installs it into the cache
# (${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-sodium), where scripts/windows-kit.sh finds it.
# A few minutes on 2 cores; the download and the build stay in windows-sodium-build/ beside it.
# Runs apt-get as root, or through sudo otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-kit.sh

work=$(dirname "$windows_sodium_cache")/windows-sodium-build
prefix=$windows_sodium_cache.new
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix autoconf automake libtool make dpkg-dev
mkdir -p "$work"
cd "$work"
rm -rf src
if ! ls libsodium_*.dsc >/dev/null 2>&1; then
    # The machine's own Debian archive, as source packages, for as long as the download takes.
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        list=/etc/apt/sources.list.d/orvalink-libsodium-src.sources
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            | "${as_root[@]}" tee "$list" >/dev/null
    else
        list=/etc/apt/sources.list.d/orvalink-libsodium-src.list
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${as_root[@]}" tee "$list" >/dev/null
    fi
    trap '"${as_root[@]}" rm -f "$list"' EXIT
    "${as_root[@]}" apt-get update -qq
    apt-get source --download-only libsodium
    "${as_root[@]}" rm -f "$list"
    trap - EXIT
fi
# dpkg-source applies Debian's patches (security fixes among them) on top of the release.
dpkg-source --no-check -x libsodium_*.dsc src >/dev/null
cd src
./autogen.sh -s >/dev/null
rm -rf "$prefix"
./configure -q --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
    CC=x86_64-w64-mingw32-gcc-posix
make -s -j"$(nproc)" >/dev/null
make -s install >/dev/null
rm -rf "$windows_sodium_cache"
mv -T "$prefix" "$windows_sodium_cache"
echo "libsodium for Windows: $windows_sodium_cache"
