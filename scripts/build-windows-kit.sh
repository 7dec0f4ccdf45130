#!/usr/bin/env bash
# Builds the Windows kit: a static Qt 6.4.2 (qtbase: Core, Gui, Widgets, Network with Schannel,
# Test) for x86_64-w64-mingw32, from Debian 12's own qt6-base source package, so that the
# cross-built updater needs no Qt DLLs. Installs it into the cache
# (${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-kit), where scripts/windows-kit.sh finds it.
# About 45 minutes on 2 cores; the download and the build stay in windows-kit-build/ beside it.
# Runs apt-get as root, or through sudo otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-kit.sh

work=$(dirname "$windows_kit_cache")/windows-kit-build
prefix=$windows_kit_cache.new

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools ninja-build cmake xz-utils
mkdir -p "$work"
cd "$work"
src=$work/qtbase-everywhere-src-6.4.2
if [ ! -d "$src" ]; then
    if [ ! -f qt6-base_6.4.2+dfsg.orig.tar.xz ]; then
        download_debian_source qt6-base
    fi
    tar -xf qt6-base_6.4.2+dfsg.orig.tar.xz
    # Debian's source lacks the bundled wintab header: tablets are off below. And 6.4.2 compiles
    # its dynamic-GL branch even with OpenGL off.
    sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
        "$src/src/plugins/platforms/windows/qwindowswindow.cpp"
fi

cat > "$work/mingw-w64.cmake" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN

rm -rf "$prefix"
cmake -G Ninja -S "$src" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$work/mingw-w64.cmake" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF \
    -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_openssl=OFF -DFEATURE_schannel=ON \
    -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_harfbuzz=OFF
cmake --build "$work/build" -j"$(nproc)"
cmake --install "$work/build"

# The toolchain file chain-loads the one Qt was built with by its absolute path in the work
# folder; a copy inside the kit, found relative to the toolchain file, lets the kit stand alone.
cp "$work/mingw-w64.cmake" "$prefix/mingw-w64.cmake"
sed -i 's|^set(__qt_initially_configured_toolchain_file ".*")$|set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/../../../mingw-w64.cmake")|' \
    "$prefix/$windows_kit_toolchain"
grep -q 'CMAKE_CURRENT_LIST_DIR}/../../../mingw-w64.cmake' "$prefix/$windows_kit_toolchain"

rm -rf "$windows_kit_cache"
mv "$prefix" "$windows_kit_cache"
echo "Windows kit: $windows_kit_cache"
