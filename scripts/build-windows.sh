#!/usr/bin/env bash
# Cross-builds the updater for 64-bit Windows with the Windows kit (static Qt 6.4.2, mingw-w64)
# into build-windows/ (or BUILD_DIR): bin/OrvalinkUpdater.exe, one self-contained file that
# imports system DLLs only, the fake client of the runs under Wine (tests/windows) and the driver
# of bench/extract.sh. Needs g++-mingw-w64-x86-64-posix, Debian's Qt 6.4 host tools
# (qt6-base-dev-tools) and libz-mingw-w64-dev (scripts/install-deps.sh installs them). The updater
# links a static libarchive and a static libzstd for Windows, built first by
# scripts/build-windows-libarchive.sh and scripts/build-windows-zstd.sh when the cache has none.
# Exits 77 after one line on how to build the kit when there is none.
# CMAKE_ARGS go to CMake after the script's own: with a release key among them
# (-DUPDATER_RELEASE_PUBLIC_KEY=... or -DUPDATER_RELEASE_PUBLIC_KEY_FILE=...) the updater checks
# release signatures and links a static libsodium for Windows, built first by
# scripts/build-windows-sodium.sh when the cache has none.
#   usage: build-windows.sh [BUILD_DIR [CMAKE_ARGS...]]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-kit.sh
find_windows_kit || exit 77

build=${1:-build-windows}
[ $# -eq 0 ] || shift
[ -f "$windows_libarchive_cache/lib/libarchive.a" ] || bash scripts/build-windows-libarchive.sh
[ -f "$windows_zstd_cache/lib/libzstd.a" ] || bash scripts/build-windows-zstd.sh
# The build folder is reused: a key, or the permission to go without, given once stays in its
# cache unless cleared here. Without a key this Release build fails unless CMAKE_ARGS hold
# -DUPDATER_ALLOW_UNSIGNED=ON.
sodium=(-DUPDATER_RELEASE_PUBLIC_KEY= -DUPDATER_RELEASE_PUBLIC_KEY_FILE=
        -DUPDATER_ALLOW_UNSIGNED=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Sodium=ON)
for argument in "$@"; do
    case "$argument" in
        -DUPDATER_RELEASE_PUBLIC_KEY*=?*)
            [ -f "$windows_sodium_cache/lib/libsodium.a" ] || bash scripts/build-windows-sodium.sh
            sodium=(-DUPDATER_ALLOW_UNSIGNED=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Sodium=OFF
                    -DSodium_INCLUDE_DIR="$windows_sodium_cache/include"
                    -DSodium_LIBRARY="$windows_sodium_cache/lib/libsodium.a")
            break ;;
    esac
done
# -static takes libstdc++, libgcc and winpthreads into the executables as well; -s strips them.
cmake -G Ninja -S . -B "$build" --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$windows_kit/$windows_kit_toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS="-static -s" \
    -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_WINE_TEST_PROGRAMS=ON \
    -DUPDATER_WARNINGS_AS_ERRORS=ON \
    -DZstd_INCLUDE_DIR="$windows_zstd_cache/include" \
    -DZstd_LIBRARY="$windows_zstd_cache/lib/libzstd.a" \
    -DLibArchive_INCLUDE_DIR="$windows_libarchive_cache/include" \
    -DLibArchive_LIBRARY="$windows_libarchive_cache/lib/libarchive.a" \
    "${sodium[@]}" "$@"
cmake --build "$build" --target OrvalinkUpdater fakeclient extractbench
