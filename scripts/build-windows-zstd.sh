#!/usr/bin/env bash
# Builds libzstd for x86_64-w64-mingw32 as a static library, from Debian 12's own libzstd source
# package with Debian's patches applied, for the updater's Windows build (which decodes the frames
# of a differential update with it). Only the decoder: no compressor, dictionary builder, legacy
# formats or assembly (the updater only reads frames its release tool wrote). Installs it into the
# cache (${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-zstd), where scripts/windows-kit.sh finds
# it. A minute or two on 2 cores; the download and the build stay in windows-zstd-build/ beside
# it. Runs apt-get as root, or through sudo otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-kit.sh

work=$(dirname "$windows_zstd_cache")/windows-zstd-build
prefix=$windows_zstd_cache.new

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix make dpkg-dev
# The newest, a security update included, or the release's own.
unpack_debian_source libzstd "$work" /bookworm
make -s -C lib -j"$(nproc)" libzstd.a \
    CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
    ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 ZSTD_LIB_DEPRECATED=0 ZSTD_LEGACY_SUPPORT=0 \
    ZSTD_NO_ASM=1 >/dev/null
rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib"
cp lib/zstd.h lib/zstd_errors.h "$prefix/include/"
cp lib/libzstd.a "$prefix/lib/"
rm -rf "$windows_zstd_cache"
mv -T "$prefix" "$windows_zstd_cache"
echo "libzstd for Windows: $windows_zstd_cache"
