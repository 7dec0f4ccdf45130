#!/usr/bin/env bash
# The ctest entry wine_update: cross-builds the Windows programs into build-windows/ with
# scripts/build-windows.sh and runs TEST (tst_wineupdate), which drives them under Wine. Exits 77,
# skipped, without the Windows kit (after one line on how to build it) or without Wine.
#   usage: wine-tests.sh TEST [TEST ARGUMENTS...]
set -euo pipefail
checkout=$(cd "$(dirname "$0")/../.." && pwd)

source "$checkout/scripts/windows-kit.sh"
find_windows_kit || exit 77
wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
    echo "skipped: Wine is not installed (package wine64)"
    exit 77
fi

started=$SECONDS
# The runs under Wine serve unsigned releases.
if ! log=$(bash "$checkout/scripts/build-windows.sh" build-windows -DUPDATER_ALLOW_UNSIGNED=ON 2>&1); then
    echo "$log"
    exit 1
fi
echo "cross-build: $((SECONDS - started)) s"

export UPDATER_WINDOWS_BIN_DIR=$checkout/build-windows/bin UPDATER_WINE=$wine
exec "$@"
