#!/usr/bin/env bash
# Measures, in one run on loopback against a real nginx that it starts itself:
#   - the updater's download of a 1 GiB package against `curl -o` of the same URL (goal <= 1.0x),
#   - the updater's peak memory (RSS) while it downloads and verifies the package (goal <= 64 MiB),
#   - sha256OfFile of the package against `openssl dgst -sha256` (goal <= 1.5x),
# and prints the ratios. Each measurement is the best of REPETITIONS runs, curl and the updater
# taking turns so that both see the same state of the page cache and the disk.
#   usage: bench/download.sh [BUILD_DIR] [REPETITIONS] [SIZE_MIB]
# BUILD_DIR (default build) must hold bin/downloadbench. Everything is made in a temporary
# directory that is removed afterwards, nginx included.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
repetitions=${2:-3}
size_mib=${3:-1024}
driver=$(realpath "$build_dir/bin/downloadbench" 2>/dev/null || true)
for tool in nginx curl openssl awk; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$driver" ] || { echo "missing: $build_dir/bin/downloadbench (build the project first)" >&2; exit 1; }

source bench/nginx.sh
# The driver's window needs no display.
make_bench_work download-bench

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
best() { sort -n | head -n 1; }

echo "making a ${size_mib} MiB package in $work ..."
start_nginx "$work" "access_log off;"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/www/package.zip"
package_hash=$(openssl dgst -sha256 -r "$work/www/package.zip" | awk '{print $1}')

url="http://127.0.0.1:$port/package.zip"
printf '{"version": "9.9.9", "package_url": "%s", "package_hash": "%s"}\n' "$url" "$package_hash" \
    > "$work/www/manifest.json"
echo "nginx on port $port; $repetitions runs each"

curl_times=()
updater_times=()
verify_times=()
peaks=()
mkdir -p "$work/app/Orvalink"
for run in $(seq 1 "$repetitions"); do
    rm -f "$work/curl.out"
    sync
    begin=$(now_ms)
    curl -sS -o "$work/curl.out" "$url"
    curl_times+=($(( $(now_ms) - begin )))
    rm -f "$work/curl.out"

    rm -rf "$work/app/.orvalink-update"
    sync
    result=$("$driver" --manifest-url "http://127.0.0.1:$port/manifest.json" \
                 --install-dir "$work/app/Orvalink")
    eval "$(echo "$result" | tr ' ' '\n' | grep -E '^(download_ms|verify_ms|peak_rss_kib)=[0-9-]+$')"
    updater_times+=("$download_ms")
    verify_times+=("$verify_ms")
    peaks+=("$peak_rss_kib")
    echo "  run $run: curl ${curl_times[-1]} ms, updater ${download_ms} ms (verify ${verify_ms} ms, peak ${peak_rss_kib} KiB)"
done
rm -rf "$work/app/.orvalink-update"

openssl_times=()
hash_times=()
for run in $(seq 1 "$repetitions"); do
    begin=$(now_ms)
    openssl dgst -sha256 "$work/www/package.zip" >/dev/null
    openssl_times+=($(( $(now_ms) - begin )))
    hash_result=$("$driver" --hash "$work/www/package.zip")
    digest=${hash_result##*digest=}
    [ "$digest" = "$package_hash" ] || { echo "sha256OfFile gave $digest, openssl $package_hash" >&2; exit 1; }
    hash_ms=${hash_result%% *}
    hash_times+=("${hash_ms#hash_ms=}")
done

curl_best=$(printf '%s\n' "${curl_times[@]}" | best)
updater_best=$(printf '%s\n' "${updater_times[@]}" | best)
verify_best=$(printf '%s\n' "${verify_times[@]}" | best)
peak_max=$(printf '%s\n' "${peaks[@]}" | sort -n | tail -n 1)
openssl_best=$(printf '%s\n' "${openssl_times[@]}" | best)
hash_best=$(printf '%s\n' "${hash_times[@]}" | best)

echo
echo "package: ${size_mib} MiB over loopback from nginx (best of $repetitions)"
awk -v u="$updater_best" -v c="$curl_best" 'BEGIN {
    printf "download:  updater %d ms, curl -o %d ms, ratio %.2f (goal <= 1.00)\n", u, c, u / (c > 0 ? c : 1) }'
awk -v p="$peak_max" 'BEGIN {
    printf "memory:    peak RSS while downloading and verifying %.1f MiB (goal <= 64)\n", p / 1024 }'
awk -v v="$verify_best" 'BEGIN { printf "verify:    digest check after the download %d ms\n", v }'
awk -v h="$hash_best" -v o="$openssl_best" 'BEGIN {
    printf "sha256:    sha256OfFile %d ms, openssl dgst -sha256 %d ms, ratio %.2f (goal <= 1.50)\n", h, o, h / (o > 0 ? o : 1) }'
