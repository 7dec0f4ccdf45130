#!/usr/bin/env bash
# Cross-builds the updater for 64-bit Windows with the Windows kit (static Qt 6.4.2, mingw-w64)
# into build-windows/ (or BUILD_DIR): bin/OrvalinkUpdater.exe, one self-contained file that
# imports system DLLs only, and the programs of the runs under Wine (tests/windows): the
# powershell.exe stand-in and the fake client. Needs g++-mingw-w64-x86-64-posix, Debian's Qt 6.4
# host tools (qt6-base-dev-tools) and libz-mingw-w64-dev (scripts/install-deps.sh installs them).
# Exits 77 after one line on how to build the kit when there is none.
#   usage: build-windows.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-kit.sh
find_windows_kit || exit 77

build=${1:-build-windows}
# -static takes libstdc++, libgcc and winpthreads into the executables as well; -s strips them.
cmake -G Ninja -S . -B "$build" --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$windows_kit/$windows_kit_toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS="-static -s" \
    -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_WINE_TEST_PROGRAMS=ON \
    -DUPDATER_WARNINGS_AS_ERRORS=ON
cmake --build "$build" --target OrvalinkUpdater powershell_standin fakeclient
