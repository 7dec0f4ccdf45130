#!/usr/bin/env bash
# Fails when a C++ file of the repository is not formatted as .clang-format says, and prints the
# command that formats them.
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=${CLANG_FORMAT:-clang-format}
if ! command -v "$formatter" >/dev/null 2>&1; then
    echo "skipped: $formatter is not installed (package clang-format)"
    exit 77
fi

mapfile -t files < <(git ls-files -co --exclude-standard '*.cpp' '*.h' '*.c')
# One run over all files; each complaint starts with the file's name.
mapfile -t unformatted < <("$formatter" --dry-run "${files[@]}" 2>&1 \
    | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: \(warning\|error\): code should be clang-formatted.*/\1/p' \
    | sort -u)

if [ ${#unformatted[@]} -gt 0 ]; then
    echo "Not formatted: ${unformatted[*]}"
    echo "Fix with: $formatter -i ${unformatted[*]}"
    exit 1
fi
echo "${#files[@]} files formatted"
