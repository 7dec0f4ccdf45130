#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang and runs each for a bounded time, starting
# from the corpus in fuzz/corpus/<target>. Any crash, sanitizer report or broken property fails
# the run (exit 1); the input that did it is kept as <build>/artifacts/<target>-crash-*.
#
# FUZZ_SECONDS   time per target (default 60)
# FUZZ_BUILD_DIR where to build (default build-fuzz/ in the repository)
# FUZZ_TARGETS   which targets to run (default all)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-$repo/build-fuzz}
targets=${FUZZ_TARGETS:-fuzz_manifest fuzz_package_entry_names fuzz_package_extraction fuzz_legacy_config}

command -v clang++ >/dev/null || { echo "run-fuzzers: clang++ is not installed" >&2; exit 1; }

cmake -S "$repo/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"

mkdir -p "$build/artifacts"
# The migration and extraction targets write files each run and the settings file is synced to
# disk; on tmpfs that costs nothing, which makes them hundreds of times faster.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
failed=()
for target in $targets; do
    corpus=corpus/${target#fuzz_}
    # New inputs go to the build tree's corpus; the repository's seeds are only read.
    mkdir -p "$build/$corpus"
    echo "== $target for ${seconds}s"
    if ! "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$build/$corpus" "$repo/fuzz/$corpus" \
        >"$build/$target.log" 2>&1; then
        failed+=("$target")
        tail -n 60 "$build/$target.log" >&2
    else
        grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/$target.log" | sed 's/^/   /' || true
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "run-fuzzers: failed: ${failed[*]} (inputs in $build/artifacts)" >&2
    exit 1
fi
echo "run-fuzzers: no failure in $targets"
