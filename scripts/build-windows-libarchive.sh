#!/usr/bin/env bash
# Builds libarchive for x86_64-w64-mingw32 as a static library, from Debian 12's own libarchive
# source package with Debian's patches applied, for the updater's Windows build (which unpacks the
# package with it). Only what reading a zip needs: zlib (libz-mingw-w64-dev, linked statically as
# well), no other codec, no crypto library, no command-line tools. Installs it into the cache
# (${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-libarchive), where scripts/windows-kit.sh finds
# it. A few minutes on 2 cores; the download and the build stay in windows-libarchive-build/
# beside it. Runs apt-get as root, or through sudo otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-kit.sh

work=$(dirname "$windows_libarchive_cache")/windows-libarchive-build
prefix=$windows_libarchive_cache.new

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev autoconf automake libtool make pkg-config \
    dpkg-dev
unpack_debian_source libarchive "$work"
# As Debian's own build does: the configure script made with the build machine's autotools.
sh build/autogen.sh >/dev/null 2>&1
rm -rf "$prefix"
# Every optional library off: the updater reads deflated and stored zip entries and nothing else,
# and each library left out is one less thing linked into the updater.
./configure -q --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
    --disable-bsdtar --disable-bsdcat --disable-bsdcpio --disable-acl --disable-xattr \
    --with-zlib --without-bz2lib --without-libb2 --without-iconv --without-lz4 --without-zstd \
    --without-lzma --without-cng --without-mbedtls --without-nettle --without-openssl \
    --without-xml2 --without-expat \
    CC=x86_64-w64-mingw32-gcc-posix
make -s -j"$(nproc)" >/dev/null
make -s install >/dev/null
rm -rf "$windows_libarchive_cache"
mv -T "$prefix" "$windows_libarchive_cache"
echo "libarchive for Windows: $windows_libarchive_cache"
