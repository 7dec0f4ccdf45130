#!/usr/bin/env bash
# One whole online update on this machine, start to finish: installs what is missing, builds,
# lays out a client installation of version 2.4.1 with a user's settings and data, publishes
# version 3.0.0 with orvalink-release, serves it from nginx on a free loopback port, starts a
# stand-in client and runs OrvalinkUpdater against it, then reports what changed.
#
# The window appears on $DISPLAY when there is a usable one; otherwise the run happens on a
# private Xvfb display and screenshots of the window are saved. Everything lives in demo-work/,
# which each run wipes first. Every process the demo starts is ended when it exits.
#
# Settings (environment): DEMO_WORK (working area, default demo-work/ in the repository),
# DEMO_BUILD_DIR (build elsewhere than build/, with the same settings as the ci preset),
# DEMO_SKIP_DEPS=1 (do not check packages), DEMO_SKIP_BUILD=1 (use the existing build),
# DEMO_HEADLESS=1 (use Xvfb even when a display is there), DEMO_TIMEOUT (seconds a headless run
# may take, default 180), DEMO_CLIENT_STAYS=1 (the old client does not quit by itself, so the
# updater waits its full minute and then ends it).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
work=${DEMO_WORK:-$repo/demo-work}
case "$work" in /*) ;; *) work=$repo/$work ;; esac
old_version=2.4.1
new_version=3.0.0
headless_timeout=${DEMO_TIMEOUT:-180}

bold=''
plain=''
if [ -t 1 ]; then
    bold=$'\e[1m'
    plain=$'\e[0m'
fi
say() { printf '%s== %s%s\n' "$bold" "$*" "$plain"; }
die() {
    printf 'demo: %s\n' "$*" >&2
    exit 1
}

# --- Processes: every one the demo starts is recorded in $work/run, so this run and the next
# can end them. A pid is only signalled while it still names the program recorded for it.

run_dir=$work/run

# A process that has ended but was not collected by its parent yet (state Z) no longer runs.
alive_as() { # pid name
    [ -n "$1" ] && [ -r "/proc/$1/comm" ] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ] || return 1
    local state
    state=$(sed -n 's/^.*) \([A-Z]\).*$/\1/p' "/proc/$1/stat" 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

record_process() { # name pid
    mkdir -p "$run_dir"
    printf '%s %s\n' "$2" "$1" >>"$run_dir/processes"
}

end_recorded_processes() {
    local list=$run_dir/processes
    # The clients record themselves too, in the starts log.
    if [ -f "$work/client-starts.log" ]; then
        sed -n 's/.* \([A-Za-z]*\.exe\) .* pid \([0-9]*\).*/\2 \1/p' "$work/client-starts.log" >>"$list" 2>/dev/null || true
    fi
    [ -f "$list" ] || return 0
    local pid name
    while read -r pid name; do
        if alive_as "$pid" "$name"; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    done <"$list"
    sleep 0.3
    while read -r pid name; do
        if alive_as "$pid" "$name"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
    done <"$list"
    rm -f "$list"
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    end_recorded_processes
    exit "$status"
}

# --- Build

if [ -z "${DEMO_SKIP_DEPS:-}" ]; then
    say "Checking the packages the build and the demo need"
    bash scripts/install-deps.sh
fi

if [ -n "${DEMO_BUILD_DIR:-}" ]; then
    build=$DEMO_BUILD_DIR
    case "$build" in /*) ;; *) build=$repo/$build ;; esac
    if [ -z "${DEMO_SKIP_BUILD:-}" ]; then
        say "Building into $build"
        cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_WARNINGS_AS_ERRORS=ON \
            -DUPDATER_ALLOW_UNSIGNED=ON
        cmake --build "$build"
    fi
else
    build=$repo/build
    if [ -z "${DEMO_SKIP_BUILD:-}" ]; then
        say "Building into build/"
        cmake --preset ci
        cmake --build --preset ci
    fi
fi
bin=$build/bin
for program in OrvalinkUpdater orvalink-release orvalink-screengrab taskkill; do
    [ -x "$bin/$program" ] || die "$bin/$program is missing; the build did not make it"
done

for program in nginx curl xdotool cmp sha256sum; do
    command -v "$program" >/dev/null || die "$program is missing (scripts/install-deps.sh installs it)"
done

# --- A clean working area; whatever an earlier run left running ends first.

end_recorded_processes
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
rm -rf "$work"
mkdir -p "$run_dir"

install_parent=$work/Programs
install_dir=$install_parent/Orvalink
payload=$work/payload-$new_version
www=$work/www
shots=$work/screenshots
starts_log=$work/client-starts.log
: >"$starts_log"

# The stand-in client. Its process is named Orvalink.exe (a script's process takes the script's
# name) and runs from the installation directory, so the updater ends it. It records each start,
# starts a Core.exe beside it and stays for $2 seconds (0: until it is ended; at most ten minutes
# in any case).
write_client() { # dir version linger
    cat >"$1/Orvalink.exe" <<EOF
#!/bin/sh
here=\$(cd "\$(dirname "\$0")" && pwd)
echo "\$(date +%T) Orvalink.exe $2 started, pid \$\$, from \$here" >>'$starts_log'
"\$here/Core.exe" &
i=0
while [ $3 -eq 0 ] || [ \$i -lt $3 ]; do
    [ \$i -ge 600 ] && break
    sleep 1
    i=\$((i + 1))
done
EOF
    cat >"$1/Core.exe" <<EOF
#!/bin/sh
echo "\$(date +%T) Core.exe $2 started, pid \$\$" >>'$starts_log'
i=0
while [ \$i -lt 600 ]; do sleep 1; i=\$((i + 1)); done
EOF
    chmod 755 "$1/Orvalink.exe" "$1/Core.exe"
}

say "Laying out the installed client $old_version in $install_dir"
mkdir -p "$install_dir"/{config/route_profiles,config/dashboard,config/icons,groups,profiles,resources}
client_linger=4
[ -n "${DEMO_CLIENT_STAYS:-}" ] && client_linger=0
write_client "$install_dir" "$old_version" "$client_linger"
echo "$old_version" >"$install_dir/version.txt"
echo "engine of $old_version, no longer shipped" >"$install_dir/xray-legacy.dll"
echo "QWidget { background: #202020; }" >"$install_dir/resources/theme.qss"
cat >"$install_dir/config/configs.json" <<'EOF'
{
    "current_group": "Europe",
    "language": "ru",
    "last_update_check": "2024-05-01T10:00:00Z",
    "remember_enable": false,
    "remember_id": "user-4711",
    "sub_custom_hwid_params": { "model": "Demo PC", "os": "Windows 11" },
    "sub_send_hwid": true,
    "theme": "dark",
    "window_geometry": [120, 80, 900, 640],
    "xray_profile_migration_version": 3
}
EOF
echo '{ "name": "default", "rules": ["geoip:private"] }' >"$install_dir/config/route_profiles/default.json"
echo '{ "tiles": ["speed", "traffic"] }' >"$install_dir/config/dashboard/layout.json"
printf 'PNG stand-in' >"$install_dir/config/icons/flag-de.png"
echo '{ "toggle": "Ctrl+Shift+O" }' >"$install_dir/config/shortcuts.json"
head -c 4096 /dev/urandom >"$install_dir/config/cache.db"
echo "my own notes, kept by every update" >"$install_dir/config/notes.txt"
echo '{ "name": "Europe", "servers": 12 }' >"$install_dir/groups/Europe.json"
echo '{ "name": "Asia", "servers": 7 }' >"$install_dir/groups/Asia.json"
echo '{ "profile": "home" }' >"$install_dir/profiles/home.json"
echo '{ "profile": "работа" }' >"$install_dir/profiles/работа.json"
head -c 2048 /dev/urandom >"$install_dir/profiles/keys.bin"

# The user's entries that the update must keep byte for byte: groups/, profiles/ and what
# config/ holds besides the settings file and the five legacy entries the migration removes.
legacy_entries=(route_profiles dashboard icons shortcuts.json cache.db)
user_checksums() {
    (
        cd "$install_dir" || exit 0
        find groups profiles config -type f ! -path config/configs.json \
            ! -path 'config/route_profiles/*' ! -path 'config/dashboard/*' ! -path 'config/icons/*' \
            ! -path config/shortcuts.json ! -path config/cache.db -print0 2>/dev/null |
            sort -z | xargs -0 -r sha256sum
    )
}
user_checksums >"$work/user-entries.before" || true

say "Publishing $new_version with orvalink-release"
mkdir -p "$payload"/{resources/icons,translations}
write_client "$payload" "$new_version" 0
echo "$new_version" >"$payload/version.txt"
echo "QWidget { background: #15233a; }" >"$payload/resources/theme.qss"
echo '<svg xmlns="http://www.w3.org/2000/svg"/>' >"$payload/resources/icons/app.svg"
printf 'qm stand-in' >"$payload/translations/orvalink_ru.qm"
echo "Orvalink $new_version" >"$payload/README.txt"
printf '  Orvalink %s\n- faster start\n- new route editor\n' "$new_version" >"$work/release-notes.txt"

# nginx on a free loopback port: pick one, and try another when it is taken.
say "Starting nginx on a free loopback port"
mkdir -p "$www" "$work/nginx/tmp"
port=
for _ in $(seq 10); do
    candidate=$((20000 + RANDOM % 40000))
    user_line=
    [ "$(id -u)" -eq 0 ] && user_line='user root;'
    cat >"$work/nginx/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
    access_log $work/nginx/access.log;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    types { application/json json; application/zip zip; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$candidate;
        root $www;
    }
}
EOF
    nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" -g 'daemon off;' \
        >>"$work/nginx/output.log" 2>&1 &
    nginx_pid=$!
    record_process nginx "$nginx_pid"
    for _ in $(seq 50); do
        if curl -s -o /dev/null "http://127.0.0.1:$candidate/"; then
            port=$candidate
            break
        fi
        kill -0 "$nginx_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$port" ] && break
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
done
[ -n "$port" ] || die "nginx did not start; see $work/nginx/error.log"
echo "nginx serves $www on http://127.0.0.1:$port/"

release_url=http://127.0.0.1:$port/releases/$new_version
"$bin/orvalink-release" --payload "$payload" --version "$new_version" \
    --package-url "$release_url/package.zip" --out "$www/releases/$new_version" \
    --release-notes "$work/release-notes.txt" --minimum-supported-version 2.0.0
manifest_url=$release_url/manifest.json
curl -sf -o /dev/null "$manifest_url" || die "nginx does not serve $manifest_url"

# --- The display: the user's own when it works, otherwise a private Xvfb.

display_works() { DISPLAY=$1 xdotool getdisplaygeometry >/dev/null 2>&1; }
if [ -z "${DEMO_HEADLESS:-}" ] && [ -n "${DISPLAY:-}" ] && display_works "$DISPLAY"; then
    headless=
    say "Using the display $DISPLAY: the updater's window opens there"
else
    headless=1
    command -v Xvfb >/dev/null || die "Xvfb is missing (scripts/install-deps.sh installs it)"
    display=
    for number in $(seq 90 140); do
        if [ ! -e "/tmp/.X$number-lock" ] && [ ! -e "/tmp/.X11-unix/X$number" ]; then
            display=:$number
            break
        fi
    done
    [ -n "$display" ] || die "no free X display number for Xvfb"
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    record_process Xvfb $!
    for _ in $(seq 50); do
        display_works "$display" && break
        sleep 0.1
    done
    display_works "$display" || die "Xvfb did not start; see $work/xvfb.log"
    export DISPLAY=$display
    export QT_QPA_PLATFORM=xcb
    say "No usable display: running on Xvfb $display, screenshots go to $shots"
fi
mkdir -p "$shots"

# --- The update

say "Starting the client $old_version, then the updater"
(cd "$work" && exec "$install_dir/Orvalink.exe") &
client_pid=$!
record_process Orvalink.exe "$client_pid"
for _ in $(seq 50); do
    grep -q "Core.exe $old_version" "$starts_log" && break
    sleep 0.1
done
core_pid=$(sed -n "s/.*Core.exe $old_version started, pid \([0-9]*\).*/\1/p" "$starts_log" | head -n 1)

updater_args=(--install-dir "$install_dir" --current-version "$old_version"
    --manifest-url "$manifest_url" --wait-pid "$client_pid")
echo "$bin/OrvalinkUpdater ${updater_args[*]}"
started=$(date +%s)
"$bin/OrvalinkUpdater" "${updater_args[@]}" >"$work/updater-output.log" 2>&1 &
updater_pid=$!
record_process OrvalinkUpdater "$updater_pid"

window=
shot=0
timed_out=
while kill -0 "$updater_pid" 2>/dev/null; do
    if [ -z "$window" ]; then
        window=$(xdotool search --onlyvisible --name '^Orvalink Updater$' 2>/dev/null | head -n 1 || true)
    fi
    # One picture a second, kept only when the window changed since the last one.
    if [ -n "$window" ] && [ "$shot" -lt 30 ] &&
        "$bin/orvalink-screengrab" "$shots/latest.png" "$window" >/dev/null 2>>"$work/screengrab.log"; then
        if [ "$shot" -eq 0 ] || ! cmp -s "$shots/latest.png" "$(printf '%s/window-%02d.png' "$shots" "$shot")"; then
            shot=$((shot + 1))
            mv "$shots/latest.png" "$(printf '%s/window-%02d.png' "$shots" "$shot")"
        fi
    fi
    # Headless, nobody can read an error in the window and close it: that is what the time limit
    # is for. With a real window the user closes it.
    if [ -n "$headless" ] && [ $(($(date +%s) - started)) -ge "$headless_timeout" ]; then
        timed_out=1
        kill -TERM "$updater_pid" 2>/dev/null || true
        break
    fi
    sleep 1
done
exit_code=0
wait "$updater_pid" || exit_code=$?
rm -f "$shots/latest.png"
elapsed=$(($(date +%s) - started))

# The updater starts the new client just before it closes; give it a moment to record itself.
for _ in $(seq 50); do
    grep -q "Orvalink.exe $new_version started" "$starts_log" && break
    sleep 0.1
done

# --- The report

checks=0
failures=0
check() { # ok? label detail
    checks=$((checks + 1))
    local mark=ok
    if [ "$1" != 1 ]; then
        mark=FAILED
        failures=$((failures + 1))
    fi
    printf '  %-22s %-7s %s\n' "$2" "[$mark]" "$3"
}
yes_if() { if "$@"; then echo 1; else echo 0; fi; }

echo
say "Before and after ($elapsed s)"
installed=$(cat "$install_dir/version.txt" 2>/dev/null || echo "none")
check "$(yes_if [ "$installed" = "$new_version" ])" "installed version" "$old_version -> $installed"

user_checksums >"$work/user-entries.after" || true
kept=$(wc -l <"$work/user-entries.before")
if cmp -s "$work/user-entries.before" "$work/user-entries.after"; then
    check 1 "user entries kept" "$kept files in groups/, profiles/, config/ identical (SHA-256)"
else
    check 0 "user entries kept" "differences:"
    diff "$work/user-entries.before" "$work/user-entries.after" | sed 's/^/      /' || true
fi

left=()
for entry in "${legacy_entries[@]}"; do
    [ -e "$install_dir/config/$entry" ] && left+=("$entry")
done
check "$(yes_if [ ${#left[@]} -eq 0 ])" "legacy entries" \
    "$( [ ${#left[@]} -eq 0 ] && echo "removed: ${legacy_entries[*]}" || echo "still there: ${left[*]}")"

settings=$install_dir/config/configs.json
settings_ok=1
for key in sub_send_hwid sub_custom_hwid_params remember_id remember_enable current_group; do
    grep -q "\"$key\"" "$settings" 2>/dev/null || settings_ok=0
done
for key in language theme last_update_check window_geometry; do
    grep -q "\"$key\"" "$settings" 2>/dev/null && settings_ok=0
done
grep -Eq '"xray_profile_migration_version": 0[,]?$' "$settings" 2>/dev/null || settings_ok=0
check "$settings_ok" "migrated settings" "$( [ "$settings_ok" = 1 ] && echo "config/configs.json keeps the five carried settings, marker 0:" || echo "config/configs.json is not the migrated one:")"
sed 's/^/      /' "$settings" 2>/dev/null || echo "      (missing)"

check "$(yes_if [ ! -e "$install_dir/xray-legacy.dll" ])" "old files" \
    "$( [ -e "$install_dir/xray-legacy.dll" ] && echo "xray-legacy.dll still there" || echo "xray-legacy.dll of $old_version gone")"

leftover=()
install_name=$(basename "$install_dir")
for dir in .orvalink-update ".orvalink-backup-$install_name" ".orvalink-incoming-$install_name"; do
    [ -e "$install_parent/$dir" ] && leftover+=("$dir")
done
legacy_backup="no copy of the old config"
[ -d "$install_parent/.orvalink-legacy-config-backup" ] && legacy_backup=".orvalink-legacy-config-backup keeps the old config"
check "$(yes_if [ ${#leftover[@]} -eq 0 ])" "working directories" \
    "$( [ ${#leftover[@]} -eq 0 ] && echo "cleaned; $legacy_backup" || echo "left behind: ${leftover[*]}")"

stopped=1
alive_as "$client_pid" Orvalink.exe && stopped=0
[ -n "$core_pid" ] && alive_as "$core_pid" Core.exe && stopped=0
check "$stopped" "old client stopped" "Orvalink.exe $old_version (pid $client_pid) and Core.exe (pid ${core_pid:-?}) $( [ "$stopped" = 1 ] && echo "no longer run" || echo "still run")"

relaunch=$(grep "Orvalink.exe $new_version started" "$starts_log" | head -n 1 || true)
check "$(yes_if [ -n "$relaunch" ])" "client relaunched" "${relaunch:-no start of $new_version in $starts_log}"

if [ -n "$timed_out" ]; then
    check 0 "updater exit" "still open after ${headless_timeout}s, so the demo ended it (an error may wait in its window: see the screenshots)"
else
    check "$(yes_if [ "$exit_code" -eq 0 ])" "updater exit code" "$exit_code"
fi

if [ -n "$headless" ] || [ "$shot" -gt 0 ]; then
    if [ "$shot" -gt 0 ]; then
        echo "  screenshots            $shot of the window during the run: $shots/window-01.png .. $(printf 'window-%02d.png' "$shot")"
    else
        echo "  screenshots            none: the window was not seen (see $work/updater-output.log)"
    fi
fi
echo "  starts log             $starts_log"

echo
if [ "$failures" -eq 0 ]; then
    say "The update from $old_version to $new_version succeeded: all $checks checks passed"
else
    say "$failures of $checks checks failed"
    exit 1
fi
