#!/usr/bin/env bash
# Times the powershell.exe stand-in's extraction of a large package against bsdtar -xf of the
# same file, in the same run, and prints the ratio (goal: at most 1.1).
#   usage: bench/extract.sh [BUILD_DIR] [REPETITIONS]
# The package (~20,000 files, ~300 MB: half incompressible, half text) is made in a temporary
# directory that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
repetitions=${2:-3}
standin=$(realpath "$build_dir/bin/powershell.exe")
for tool in zip bsdtar perl awk; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$standin" ] || { echo "missing: $standin (build the project first)" >&2; exit 1; }

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
standin_walls=() standin_cpus=() bsdtar_walls=() bsdtar_cpus=()
for run in $(seq "$repetitions"); do
    for tool in standin bsdtar; do
        [ $((run % 2)) -eq 0 ] && tool=$([ "$tool" = standin ] && echo bsdtar || echo standin)
        if [ "$tool" = standin ]; then
            read -r wall cpu < <(measure "$standin" -NoProfile -NonInteractive -ExecutionPolicy Bypass \
                -Command "Expand-Archive -LiteralPath '$work/package.zip' -DestinationPath '$work/out' -Force")
            [ "$(find "$work/out" -type f | wc -l)" -eq "$files" ] \
                || { echo "the stand-in extracted a different number of files" >&2; exit 1; }
            standin_walls+=("$wall") standin_cpus+=("$cpu")
        else
            read -r wall cpu < <(measure bsdtar -xf "$work/package.zip" -C "$work/out")
            bsdtar_walls+=("$wall") bsdtar_cpus+=("$cpu")
        fi
        echo "run $run: $tool ${wall} s (cpu ${cpu} s)"
    done
done
sw=$(printf '%s\n' "${standin_walls[@]}" | best)
sc=$(printf '%s\n' "${standin_cpus[@]}" | best)
bw=$(printf '%s\n' "${bsdtar_walls[@]}" | best)
bc=$(printf '%s\n' "${bsdtar_cpus[@]}" | best)
awk -v sw="$sw" -v sc="$sc" -v bw="$bw" -v bc="$bc" 'BEGIN {
    printf "best: stand-in %.3f s (cpu %.3f s), bsdtar %.3f s (cpu %.3f s)\n", sw, sc, bw, bc
    printf "ratio %.2f wall, %.2f cpu (goal <= 1.10)\n", sw / bw, sc / bc
}'
