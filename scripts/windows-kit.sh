# Finds the Windows kit, a static Qt 6.4.2 for x86_64-w64-mingw32 (scripts/build-windows-kit.sh
# makes one), for the scripts that cross-build; sourced, not run. find_windows_kit sets
# windows_kit to the kit's folder, the one that holds lib/cmake/Qt6/qt.toolchain.cmake. It takes,
# in turn: $UPDATER_WINDOWS_KIT; the copy unpacked in the cache; the packed kit
# (qt-6.4.2-mingw-w64-static.tar.xz) in ../shared/windows-kit/ beside the checkout or in
# /work/shared/windows-kit/, which it unpacks into the cache. Without one it prints one line on
# how to build it and returns 1. windows_sodium_cache is where scripts/build-windows-sodium.sh puts
# the libsodium that a build with a release key links, windows_libarchive_cache where
# scripts/build-windows-libarchive.sh puts the libarchive and windows_zstd_cache where
# scripts/build-windows-zstd.sh puts the libzstd that every build links.
# download_debian_source and unpack_debian_source fetch and unpack a Debian source package for the
# scripts that build them; as_root runs a command as root (through sudo when not root).

windows_kit_cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-kit
windows_kit_archive=qt-6.4.2-mingw-w64-static.tar.xz
windows_kit_toolchain=lib/cmake/Qt6/qt.toolchain.cmake
windows_sodium_cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-sodium
windows_zstd_cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-zstd
windows_libarchive_cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/windows-libarchive

find_windows_kit() {
    local checkout dir unpack
    windows_kit=
    if [ -n "${UPDATER_WINDOWS_KIT:-}" ]; then
        if [ -f "$UPDATER_WINDOWS_KIT/$windows_kit_toolchain" ]; then
            windows_kit=$UPDATER_WINDOWS_KIT
            return 0
        fi
        echo "UPDATER_WINDOWS_KIT ($UPDATER_WINDOWS_KIT) is no Windows kit; build one with: bash scripts/build-windows-kit.sh"
        return 1
    fi
    checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    for dir in "" "$checkout/../shared/windows-kit" /work/shared/windows-kit; do
        if [ -n "$dir" ] && [ -f "$dir/$windows_kit_archive" ] && [ ! -e "$windows_kit_cache" ]; then
            mkdir -p "$(dirname "$windows_kit_cache")"
            unpack=$(mktemp -d "$windows_kit_cache.unpacking.XXXXXX")
            # Moved into place whole once complete, so that an interrupted unpacking leaves no half
            # kit behind (and a concurrent one that finished first wins).
            if tar -xJf "$dir/$windows_kit_archive" -C "$unpack"; then
                mv -T "$unpack/${windows_kit_archive%.tar.xz}" "$windows_kit_cache" 2>/dev/null || true
            fi
            rm -rf "$unpack"
        fi
        if [ -f "$windows_kit_cache/$windows_kit_toolchain" ]; then
            windows_kit=$windows_kit_cache
            return 0
        fi
    done
    echo "No Windows kit (static Qt 6.4.2 for mingw-w64); build one with: bash scripts/build-windows-kit.sh"
    return 1
}

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi

# Downloads Debian's source package $1 into the current folder (the newest, or as $2 selects it:
# "=VERSION" or "/SUITE"), from the machine's own archive as source packages for as long as the
# download takes.
download_debian_source() {
    local list
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        list=/etc/apt/sources.list.d/orvalink-$1-src.sources
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            | "${as_root[@]}" tee "$list" >/dev/null
    else
        list=/etc/apt/sources.list.d/orvalink-$1-src.list
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${as_root[@]}" tee "$list" >/dev/null
    fi
    # shellcheck disable=SC2064 # the list's name is fixed now; the trap outlives the function
    trap "${as_root[*]} rm -f '$list'" EXIT
    "${as_root[@]}" apt-get update -qq
    apt-get source --download-only "$1${2:-}"
    "${as_root[@]}" rm -f "$list"
    trap - EXIT
}

# Unpacks Debian's source package $1 into $2/src, downloading it into $2 first unless it is there,
# and enters $2/src: the newest, or where the mirror does not carry that one's source, the one $3
# selects (for example "/bookworm", the release's own). dpkg-source applies Debian's patches
# (security fixes among them) on top of the release.
unpack_debian_source() {
    mkdir -p "$2"
    cd "$2"
    rm -rf src
    if ! ls "$1"_*.dsc >/dev/null 2>&1; then
        if [ -n "${3:-}" ]; then
            download_debian_source "$1" || true
            ls "$1"_*.dsc >/dev/null 2>&1 || download_debian_source "$1" "$3"
        else
            download_debian_source "$1"
        fi
    fi
    dpkg-source --no-check -x "$1"_*.dsc src >/dev/null
    cd src
}
