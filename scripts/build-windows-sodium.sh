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

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix autoconf automake libtool make dpkg-dev
unpack_debian_source libsodium "$work"
./autogen.sh -s >/dev/null
rm -rf "$prefix"
./configure -q --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
    CC=x86_64-w64-mingw32-gcc-posix
make -s -j"$(nproc)" >/dev/null
make -s install >/dev/null
rm -rf "$windows_sodium_cache"
mv -T "$prefix" "$windows_sodium_cache"
echo "libsodium for Windows: $windows_sodium_cache"
