#!/usr/bin/env bash
# Compiles the Windows-only sources (every *_win.cpp of the tree) with mingw-w64, so that code
# written on Linux for Windows at least compiles. Sources that use Qt are checked too when Qt's
# include directories are given as arguments (a ';'-separated list is split): the host's Qt
# headers are the same for Windows apart from their configuration, which a syntax check does not
# depend on.
# Exits 77 (skipped) when the cross compiler is missing.
#   usage: check-windows-sources.sh [QT_INCLUDE_DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=x86_64-w64-mingw32-g++-posix
if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "skipped: $compiler is not installed (package g++-mingw-w64-x86-64-posix)"
    exit 77
fi

qt_flags=()
for argument in "$@"; do
    IFS=';' read -ra dirs <<< "$argument"
    for dir in "${dirs[@]}"; do
        [ -n "$dir" ] && qt_flags+=(-isystem "$dir")
    done
done

# A source needs Qt when it, or one of the project's headers it includes, includes a Qt header.
needs_qt() {
    local file=$1 header
    grep -Eq '^#include <Q' "$file" && return 0
    for header in $(sed -n 's/^#include "\(.*\)"/\1/p' "$file"); do
        [ -f "$header" ] && [ "$header" != "$file" ] && needs_qt "$header" && return 0
    done
    return 1
}

status=0
checked=0
mapfile -t sources < <(git ls-files -co --exclude-standard '*_win.cpp')
for source in "${sources[@]}"; do
    [ -e "$source" ] || continue
    flags=()
    if needs_qt "$source"; then
        if [ ${#qt_flags[@]} -eq 0 ]; then
            echo "not checked (needs Qt, no Qt include directory given): $source"
            continue
        fi
        flags=("${qt_flags[@]}" -DQT_NO_CAST_FROM_ASCII -DQT_NO_CAST_TO_ASCII)
    fi
    if "$compiler" -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I. "${flags[@]}" "$source"; then
        echo "ok: $source"
    else
        echo "FAILED: $source"
        status=1
    fi
    checked=$((checked + 1))
done
echo "$checked Windows source(s) checked"
exit $status
