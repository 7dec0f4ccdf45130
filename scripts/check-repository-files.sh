#!/usr/bin/env bash
# Fails when the repository tracks a file outside the project's own folders that is not listed
# below as part of the project: what a manual run, a demo or a benchmark leaves at the top must
# never be committed by accident (.gitignore should cover it).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "skipped: not a git checkout"
    exit 77
fi

folders=(.ci app bench cmake common fuzz install platform scripts source tests tools ui worker)
files=(.clang-format .gitignore CMakeLists.txt CMakePresets.json README.md)

stray=()
while IFS= read -r path; do
    top=${path%%/*}
    if [ "$top" != "$path" ]; then
        [[ " ${folders[*]} " == *" $top "* ]] && continue
    else
        [[ " ${files[*]} " == *" $path "* ]] && continue
    fi
    stray+=("$path")
done < <(git ls-files)

if [ ${#stray[@]} -gt 0 ]; then
    echo "Tracked outside the project's folders: ${stray[*]}"
    echo "Remove them (git rm --cached) and cover them in .gitignore, or list them in $0."
    exit 1
fi
echo "$(git ls-files | wc -l) tracked files, all in the project's folders"
