#!/usr/bin/env bash
# Times the updater's own extraction (bench/extractbench.cpp, the code the updater runs) of a
# large package against bsdtar -xf of the same file, in the same run, and prints the ratio (goal:
# at most 1.1) and the extraction's peak memory. Then, when Wine and the Windows kit are there,
# the cross-built driver unpacks the same package under Wine and its time is printed beside
# (Wine's file system is slower than Windows', so it is reported, not compared).
#   usage: bench/extract.sh [BUILD_DIR] [REPETITIONS]
# BUILD_DIR (default build) must hold bin/extractbench; the Windows driver is built into
# build-windows/ by scripts/build-windows.sh. The package (~20,000 files, ~337 MB: half
# incompressible, half text) is made in a temporary directory that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
repetitions=${2:-3}
driver=$(realpath "$build_dir/bin/extractbench" 2>/dev/null || true)
for tool in zip bsdtar perl awk; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$driver" ] || { echo "missing: $build_dir/bin/extractbench (build the project first)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/extract-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "making the package in $work ..."
# perl-base is part of every Debian system; /dev/urandom gives the incompressible half.
perl - "$work/payload/Orvalink" <<'PL'
use strict; use warnings; use File::Path qw(make_path);
my $root = shift; srand(20000);
my @words = ("orvalink", "profile", "route", "server", "config", "tunnel", "0x1f", "\n");
open(my $random, "<:raw", "/dev/urandom") or die "urandom: $!";
for my $d (0 .. 99) {
    my $folder = sprintf("%s/module%03d/%s", $root, $d, $d % 2 ? "data" : "lib");
    make_path($folder);
    for my $f (0 .. 199) {
        my $size = 1 + int(rand(30000));
        my $data;
        if ($f % 2) { read($random, $data, $size) == $size or die "short read"; }
        else { $data = join(" ", map { $words[int(rand(@words))] } 1 .. int($size / 6)); }
        open(my $out, ">:raw", sprintf("%s/file%03d.bin", $folder, $f)) or die "$folder: $!";
        print $out $data; close($out);
    }
}
PL
(cd "$work/payload" && zip -q -r "$work/package.zip" .)
files=$(find "$work/payload" -type f | wc -l)
size=$(du -sm "$work/payload" | cut -f1)
echo "package: $files files, $size MB unpacked, $(du -m "$work/package.zip" | cut -f1) MB zipped"
rm -rf "$work/payload"

# Prints "wall cpu" seconds of one extraction into a fresh directory. The written data is
# flushed before the clock starts, so that one run's write-back does not slow the next.
measure() {
    local TIMEFORMAT='%R %U %S' timing
    rm -rf "$work/out"
    mkdir -p "$work/out"
    sync
    timing=$( { time "$@" >/dev/null; } 2>&1 )
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<< "$timing"
}

# Alternating which tool goes first cancels the advantage of a warmer cache; the best of the
# repetitions is compared, since the noise of a shared machine only ever adds time.
best() { sort -n | head -1; }
updater_walls=() updater_cpus=() bsdtar_walls=() bsdtar_cpus=()
for run in $(seq "$repetitions"); do
    for tool in updater bsdtar; do
        [ $((run % 2)) -eq 0 ] && tool=$([ "$tool" = updater ] && echo bsdtar || echo updater)
        if [ "$tool" = updater ]; then
            read -r wall cpu < <(measure "$driver" "$work/package.zip" "$work/out")
            [ "$(find "$work/out" -type f | wc -l)" -eq "$files" ] \
                || { echo "the updater extracted a different number of files" >&2; exit 1; }
            updater_walls+=("$wall") updater_cpus+=("$cpu")
        else
            read -r wall cpu < <(measure bsdtar -xf "$work/package.zip" -C "$work/out")
            bsdtar_walls+=("$wall") bsdtar_cpus+=("$cpu")
        fi
        echo "run $run: $tool ${wall} s (cpu ${cpu} s)"
    done
done
uw=$(printf '%s\n' "${updater_walls[@]}" | best)
uc=$(printf '%s\n' "${updater_cpus[@]}" | best)
bw=$(printf '%s\n' "${bsdtar_walls[@]}" | best)
bc=$(printf '%s\n' "${bsdtar_cpus[@]}" | best)
rm -rf "$work/out"
peak=$("$driver" "$work/package.zip" "$work/out" | sed -n 's/.*peak_rss_kib=\([0-9-]*\).*/\1/p')
awk -v uw="$uw" -v uc="$uc" -v bw="$bw" -v bc="$bc" -v peak="$peak" 'BEGIN {
    printf "best: updater %.3f s (cpu %.3f s), bsdtar %.3f s (cpu %.3f s)\n", uw, uc, bw, bc
    printf "ratio %.2f wall, %.2f cpu (goal <= 1.10)\n", uw / bw, uc / bc
    printf "updater peak memory: %.1f MiB for the whole package\n", peak / 1024
}'

# The Windows build under Wine, in a prefix of its own; the package is reached through Z:.
source scripts/windows-kit.sh
wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
if [ -z "$wine" ] || ! find_windows_kit >/dev/null; then
    echo "wine: skipped (needs wine64 and the Windows kit)"
    exit 0
fi
bash scripts/build-windows.sh build-windows -DUPDATER_ALLOW_UNSIGNED=ON >/dev/null
export WINEPREFIX=$work/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1
rm -rf "$work/out"
started=$(date +%s.%N)
wine_ms=$("$wine" build-windows/bin/extractbench.exe "Z:$work/package.zip" "Z:$work/out" \
    | tr -d '\r' | sed -n 's/^extract_ms=\([0-9]*\).*/\1/p')
ended=$(date +%s.%N)
[ "$(find "$work/out" -type f | wc -l)" -eq "$files" ] \
    || { echo "the Windows build extracted a different number of files" >&2; exit 1; }
"$(dirname "$wine")/wineserver" --kill 2>/dev/null || true
awk -v ms="$wine_ms" -v started="$started" -v ended="$ended" -v uw="$uw" 'BEGIN {
    printf "wine: the Windows build %.3f s (%.3f s with Wine starting), beside the updater on Linux %.3f s\n", ms / 1000, ended - started, uw
}'
