#!/usr/bin/env bash
# Fault-injection sweep: runs updates of the built updater with a fault at every file-system
# change it makes (the faultinjection LD_PRELOAD library counts them), then a clean next update
# with a fresh payload, and checks after it that
#   - the user's entries (config, groups, profiles with hidden files, nested folders and a link
#     to a folder outside) are byte for byte as before, with no stray file among them; the
#     installation's settings were migrated once already, so config/configs.json must not change,
#   - the installation is complete: every file of the last payload with its contents,
#   - nothing but the installation, .orvalink-legacy-config-backup and the log
#     .orvalink-update.log is left beside it (no .orvalink-update, -backup-*, -incoming-*,
#     -preserve, -update.lock, no temporary file), no .orvalink-* entry in it, and the offline
#     payload's directory is gone.
# Scenarios: offline (--offline-payload-root), online (a package served by nginx on loopback)
# and inplace (the installation directory cannot be renamed, as when a handle is open in it on
# Windows: the windowsrules library's locked directory). Modes: kill (SIGKILL right before the
# change), eio, enospc, eacces (the change fails) and pause (updater A is held before the change
# while updater B runs on the same installation to its end, then A goes on).
# A count-only run per scenario tells how many points there are and what each one is. In kill
# mode the report also names the points after which the installation lacked Orvalink.exe or
# config until the next update (what a user starting the client then would meet).
#
# Usage: bench/fault-sweep.sh [--bin DIR] [--lib DIR] [--jobs N] [--keep]
#            [--scenario offline,online,inplace] [--mode kill,eio,enospc,eacces,pause]
#            [--points LIST] [--only SCENARIO:MODE:LIST]...
# LIST is numbers and ranges, "3,7,10-12"; points past a scenario's last are left out. --only
# (repeatable) runs just the points it names instead of the cross product. Prints per scenario
# and mode "N points, N held" and every failing point with its reasons; exits 0 only when every
# point held. Run as root, it works in a PID namespace of its own, so that the updater's taskkill
# (which ends every Orvalink.exe and Core.exe it sees) reaches no process of anyone else.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin="$here/../build/bin"
lib=
jobs=2
keep=0
scenarios=offline,online,inplace
modes=kill,eio,enospc,eacces,pause
points=
only=()
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        --bin) bin="$2"; shift 2 ;;
        --lib) lib="$2"; shift 2 ;;
        --jobs) jobs="$2"; shift 2 ;;
        --keep) keep=1; shift ;;
        --scenario) scenarios="$2"; shift 2 ;;
        --mode) modes="$2"; shift 2 ;;
        --points) points="$2"; shift 2 ;;
        --only) only+=("$2"); shift 2 ;;
        -h|--help) sed -n '2,29p' "$0"; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
bin=$(cd "$bin" && pwd)
lib=${lib:-$bin/../lib}
lib=$(cd "$lib" && pwd)

if [ -z "${FAULT_SWEEP_ISOLATED:-}" ] && [ "$(id -u)" = 0 ] \
    && unshare --pid --fork --mount-proc true 2>/dev/null; then
    exec env FAULT_SWEEP_ISOLATED=1 unshare --pid --fork --mount-proc bash "$0" "${args[@]}"
fi

for program in OrvalinkUpdater orvalink-release taskkill; do
    [ -x "$bin/$program" ] || { echo "no $bin/$program (build it first, or pass --bin DIR)" >&2; exit 2; }
done
for library in faultinjection windowsrules; do
    [ -f "$lib/lib$library.so" ] || { echo "no $lib/lib$library.so (build it, or pass --lib DIR)" >&2; exit 2; }
done
for tool in nginx curl sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

updater="$bin/OrvalinkUpdater"
work=$(mktemp -d "${TMPDIR:-/tmp}/fault-sweep.XXXXXX")
mkdir -m 700 "$work/runtime"
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" PATH="$bin:$PATH"
nginx_pid=
failed_any=0
finish() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    jobs -p | xargs -r kill -KILL 2>/dev/null || true
    if [ "$keep" = 1 ] || [ "$failed_any" = 1 ]; then
        echo "work folders kept in $work"
    else
        rm -rf "$work"
    fi
}
trap finish EXIT

# --- Trees

write_payload() { # dir label
    mkdir -p "$1/lib" "$1/resources"
    printf '#!/bin/sh\nexit 0\n' > "$1/Orvalink.exe"
    chmod 755 "$1/Orvalink.exe"
    echo "core $2" > "$1/Core.exe"
    echo "app $2" > "$1/app.dll"
    head -c 50000 /dev/urandom > "$1/lib/runtime.bin"
    echo "Установка обновления $2" > "$1/resources/ru.txt"
}

# The user's entries as a sorted listing (type, mode, path, link target), then every file's
# digest; links are listed, never followed. The folder a link points to comes last.
user_manifest() { # install outside
    (cd "$1" && find config groups profiles -printf '%y %m %p -> %l\n' | LC_ALL=C sort
     cd "$1" && find config groups profiles -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
    (cd "$2" && find . -printf '%y %m %p\n' | LC_ALL=C sort
     cd "$2" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}

payload_manifest() {
    (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}

# --- Running the updater

# Starts the updater in the background in directory cwd (its pid in $started) with the given
# extra environment (NAME=VALUE words) before "--" and its arguments after; its output goes to
# log.
start_updater() { # cwd log NAME=VALUE... -- ARGS...
    local cwd=$1 log=$2
    shift 2
    local environment=()
    while [ "$1" != -- ]; do
        environment+=("$1")
        shift
    done
    shift
    (cd "$cwd" && exec env "${environment[@]}" "$updater" "$@" >"$log" 2>&1) &
    started=$!
}

# Waits for an updater to end. A failed update keeps its window open and does nothing any more:
# one that for 8 s has made no change (its trace stays as it is), met no refusal of the Windows
# rules (the in-place update retries the rename of the installation for 10 s) and has no child
# process, or that runs for 180 s, is killed. Sets $outcome to "finished" (exit 0), "exit N" or
# "stuck" (killed).
wait_updater() { # pid trace
    local pid=$1 trace=$2 rules=${2%.trace}.rules last=-1 activity now
    local start_ms
    start_ms=$(date +%s%3N)
    local active_ms=$start_ms
    while kill -0 "$pid" 2>/dev/null; do
        activity=$(( $(stat -c %s "$trace" 2>/dev/null || echo 0) + $(stat -c %s "$rules" 2>/dev/null || echo 0) ))
        now=$(date +%s%3N)
        if [ "$activity" != "$last" ] || [ -n "$(ps -o pid= --ppid "$pid" 2>/dev/null)" ]; then
            active_ms=$now
            last=$activity
        fi
        if [ $((now - active_ms)) -ge 8000 ] || [ $((now - start_ms)) -ge 180000 ]; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
            outcome=stuck
            return
        fi
        sleep 0.1
    done
    local status=0
    wait "$pid" 2>/dev/null || status=$?
    if [ $status -eq 0 ]; then outcome=finished; else outcome="exit $status"; fi
}

# The environment of every updater run in a scenario; the fault library comes after the rules,
# so that a change the rules refuse is no point.
scenario_environment() { # scenario install
    local preload="$lib/libfaultinjection.so"
    if [ "$1" = inplace ]; then
        preload="$lib/libwindowsrules.so $preload"
        echo "WINDOWS_RULES_LOCKED_DIRS=$2"
        echo "WINDOWS_RULES_OPEN_FILES_UNDER=$2:$(dirname "$2")/.orvalink-backup-$(basename "$2")"
    fi
    echo "LD_PRELOAD=$preload"
    echo "FAULT_PROCESS=OrvalinkUpdater"
}

# The source arguments of an update with the given payload label (a, b or c); offline payloads
# are made in root/drop-LABEL.
source_arguments() { # scenario root label
    if [ "$1" = online ]; then
        echo --manifest-url
        echo "$base_url/$3/manifest.json"
    else
        write_payload "$2/drop-$3/payload" "3.0.0-$3"
        echo --offline-payload-root
        echo "$2/drop-$3/payload"
    fi
}

# One update of root/Programs/Orvalink. FAULT_* settings are passed as NAME=VALUE words.
run_update() { # scenario root label name FAULT_...=...
    local scenario=$1 root=$2 label=$3 name=$4
    shift 4
    local install="$root/Programs/Orvalink" environment sources
    mapfile -t environment < <(scenario_environment "$scenario" "$install")
    mapfile -t sources < <(source_arguments "$scenario" "$root" "$label")
    # What the installation must hold after this update, read before an offline update moves it.
    if [ "$scenario" = online ]; then
        cp "$work/payloads/$label.manifest" "$root/payload-$label.manifest"
    else
        payload_manifest "$root/drop-$label/payload" > "$root/payload-$label.manifest"
    fi
    start_updater "$root" "$root/$name.log" "${environment[@]}" \
        "FAULT_ROOTS=$root/Programs:$root/drop-$label" "FAULT_TRACE=$root/$name.trace" \
        "FAULT_COUNT_FILE=$root/$name.count" "WINDOWS_RULES_LOG=$root/$name.rules" "$@" -- \
        --install-dir "$install" --current-version 2.4.1 "${sources[@]}"
}

# A point's tree: the template installation and a folder outside that a user's link leads to.
lay_out() { # root
    mkdir -p "$1/Programs" "$1/outside/deeper"
    cp -a "$template/Programs/Orvalink" "$1/Programs/Orvalink"
    echo "outside the installation" > "$1/outside/deeper/shared.txt"
    ln -s "$1/outside" "$1/Programs/Orvalink/profiles/shared"
    user_manifest "$1/Programs/Orvalink" "$1/outside" > "$1/user.before"
}

# Checks the installation after the clean update; prints one reason per line, nothing if it held.
check_point() { # scenario root clean-outcome expected-payload-manifest
    local scenario=$1 root=$2 install="$2/Programs/Orvalink"
    [ "$3" = finished ] || echo "the clean next update did not finish ($3)"
    if [ ! -d "$install" ]; then
        echo "the installation directory is gone"
        return
    fi
    user_manifest "$install" "$root/outside" > "$root/user.after" 2>/dev/null || true
    if ! cmp -s "$root/user.before" "$root/user.after"; then
        echo "user entries differ: $(diff "$root/user.before" "$root/user.after" | grep '^[<>]' | head -4 | tr '\n' ' ')"
    fi
    if ! (cd "$install" && sha256sum --quiet --status -c "$4" 2>/dev/null); then
        echo "the installation lacks files of the payload: $(cd "$install" && sha256sum --quiet -c "$4" 2>&1 | head -3 | tr '\n' ' ')"
    fi
    local beside
    beside=$(cd "$root/Programs" && ls -A | grep -vxE 'Orvalink|\.orvalink-legacy-config-backup|\.orvalink-update\.log' | tr '\n' ' ' || true)
    [ -z "$beside" ] || echo "left beside the installation: $beside"
    local inside
    inside=$(cd "$install" && ls -A | grep -E '^\.orvalink' | tr '\n' ' ' || true)
    [ -z "$inside" ] || echo "left in the installation: $inside"
    if [ "$scenario" != online ] && [ -e "$root/drop-b" ]; then
        echo "the clean update's payload directory was not deleted"
    fi
}

# --- One point: the faulted update, for pause a second update meanwhile, the clean next one.

run_point() { # scenario mode point
    local scenario=$1 mode=$2 point=$3
    local root="$work/points/$scenario-$mode-$point" notes=()
    lay_out "$root"
    if [ "$mode" = pause ]; then
        run_update "$scenario" "$root" a faulted "FAULT_AT=$point" FAULT_MODE=pause \
            "FAULT_PAUSED_FILE=$root/paused" FAULT_PAUSE_MAX_MS=180000
        local a_pid=$started waited=0
        while [ ! -e "$root/paused" ] && kill -0 "$a_pid" 2>/dev/null && [ $waited -lt 600 ]; do
            sleep 0.05
            waited=$((waited + 1))
        done
        if [ -e "$root/paused" ]; then
            run_update "$scenario" "$root" c second
            wait_updater "$started" "$root/second.trace"
            notes+=("B: $outcome after $(cat "$root/second.trace" 2>/dev/null | wc -l) changes")
            rm -f "$root/paused"
        else
            notes+=("A never paused")
        fi
        wait_updater "$a_pid" "$root/faulted.trace"
        notes+=("A: $outcome")
    else
        run_update "$scenario" "$root" a faulted "FAULT_AT=$point" "FAULT_MODE=$mode"
        wait_updater "$started" "$root/faulted.trace"
        [ "$mode" = kill ] || notes+=("faulted update: $outcome")
        local name
        for name in Orvalink.exe config; do
            [ -e "$root/Programs/Orvalink/$name" ] || echo "$point" >> "$work/results/$scenario.$mode.lacks-$name"
        done
    fi
    # A run that never got to the point (its changes went another way) tested nothing.
    local reached
    reached=$(cat "$root/faulted.trace" 2>/dev/null | wc -l)
    local missed=
    [ "$reached" -ge "$point" ] || missed="the faulted update made $reached changes and never reached the point"

    run_update "$scenario" "$root" b clean
    wait_updater "$started" "$root/clean.trace"
    local problems
    problems=$(check_point "$scenario" "$root" "$outcome" "$root/payload-b.manifest"
               [ -z "$missed" ] || echo "$missed")
    local result="$work/results/$scenario.$mode.$point"
    if [ -z "$problems" ]; then
        echo "held (${notes[*]})" > "$result"
        [ "$keep" = 1 ] || rm -rf "$root"
    else
        { echo "failed (${notes[*]})"; echo "$problems"; } > "$result"
    fi
}

# --- The template: a client 2.4.1 installation whose settings one whole update has migrated,
# so that every later migration leaves config byte for byte as it is.

template="$work/template"
mkdir -p "$template/Programs/Orvalink"
(
    cd "$template/Programs/Orvalink"
    mkdir -p lib plugins config/route_profiles config/logs groups profiles/nested/.hidden-dir
    printf '#!/bin/sh\nexit 0\n' > Orvalink.exe && chmod 755 Orvalink.exe
    echo "core 2.4.1" > Core.exe
    echo "app 2.4.1" > app.dll
    head -c 50000 /dev/urandom > lib/runtime.bin
    echo "old plugin" > plugins/old.dll
    cat > config/configs.json <<'JSON'
{"sub_send_hwid": true, "remember_id": "user-77", "remember_enable": false,
 "current_group": "Европа", "sub_custom_hwid_params": {"model": "X1", "extra": [1, 2]},
 "theme": "dark", "xray_profile_migration_version": 3}
JSON
    echo "geometry=1,2,3,4" > config/.window-state
    echo "started" > config/logs/today.log
    echo "[]" > config/shortcuts.json
    echo "{}" > config/route_profiles/r1.json
    echo '{"servers": 12}' > groups/europe.json
    echo "europe" > groups/.order
    echo '{"name": "Дом"}' > profiles/default.json
    echo "token" > profiles/.secret && chmod 600 profiles/.secret
    echo "deep" > profiles/nested/.hidden-dir/deep.txt
)
write_payload "$template/drop/payload" 3.0.0
start_updater "$template" "$template/update.log" -- --install-dir "$template/Programs/Orvalink" \
    --current-version 2.4.1 --offline-payload-root "$template/drop/payload"
wait_updater "$started" /dev/null
if [ "$outcome" != finished ]; then
    echo "the first, clean update of the template failed ($outcome)" >&2
    exit 1
fi
rm -rf "$template/Programs/.orvalink-legacy-config-backup"

# --- Selection

expand_list() { # "3,7,10-12" -> one number a line
    local part
    for part in ${1//,/ }; do
        if [[ $part == *-* ]]; then seq "${part%-*}" "${part#*-}"; else echo "$part"; fi
    done
}

selection=()
if [ ${#only[@]} -gt 0 ]; then
    selection=("${only[@]}")
else
    for scenario in ${scenarios//,/ }; do
        for mode in ${modes//,/ }; do
            selection+=("$scenario:$mode:$points")
        done
    done
fi
for item in "${selection[@]}"; do
    scenario=${item%%:*}
    rest=${item#*:}
    mode=${rest%%:*}
    case "$scenario" in offline|online|inplace) ;; *) echo "unknown scenario: $scenario" >&2; exit 2 ;; esac
    case "$mode" in kill|eio|enospc|eacces|pause) ;; *) echo "unknown mode: $mode" >&2; exit 2 ;; esac
done

# --- The server for the online scenario: packages a (faulted), b (clean next) and c (second).

start_nginx() {
    mkdir -p "$work/nginx/logs" "$work/www"
    local attempt port user=
    [ "$(id -u)" = 0 ] && user="user root;"
    for attempt in $(seq 1 20); do
        port=$(( 20000 + (RANDOM * 7 + attempt) % 40000 ))
        cat > "$work/nginx/nginx.conf" <<CONF
$user
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 64; }
http {
    access_log off;
    types { application/zip zip; application/json json; }
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
        : > "$work/nginx/logs/start.log"
        nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' 2>>"$work/nginx/logs/start.log" &
        nginx_pid=$!
        local try
        for try in $(seq 1 50); do
            if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
                base_url="http://127.0.0.1:$port"
                return 0
            fi
            kill -0 "$nginx_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=
    done
    echo "nginx did not start: $(tail -n 3 "$work/nginx/logs/"*.log)" >&2
    return 1
}

base_url=
if printf '%s\n' "${selection[@]}" | grep -q '^online:'; then
    start_nginx
    for label in a b c; do
        write_payload "$work/payloads/$label" "3.0.0-$label"
        "$bin/orvalink-release" --payload "$work/payloads/$label" --version "3.0.1" \
            --package-url "$base_url/$label/package.zip" --out "$work/www/$label" >/dev/null
        curl -sf -o /dev/null "$base_url/$label/manifest.json"
        payload_manifest "$work/payloads/$label" > "$work/payloads/$label.manifest"
    done
fi

# --- Counting: one clean update per scenario tells the points and what each one is.

count_points() { # scenario
    local root="$work/count-$1"
    lay_out "$root"
    run_update "$1" "$root" a counted
    wait_updater "$started" "$root/counted.trace"
    echo "$outcome" > "$root/outcome"
}

mkdir -p "$work/results" "$work/points"
declare -A point_count
counting=()
for scenario in $(printf '%s\n' "${selection[@]}" | cut -d: -f1 | sort -u); do
    count_points "$scenario" 2>/dev/null &
    counting+=($!)
done
for pid in "${counting[@]}"; do
    wait "$pid" || true
done
for scenario in $(printf '%s\n' "${selection[@]}" | cut -d: -f1 | sort -u); do
    root="$work/count-$scenario"
    if [ "$(cat "$root/outcome" 2>/dev/null)" != finished ] || [ ! -s "$root/counted.count" ]; then
        echo "$scenario: the update without a fault did not finish; see $root" >&2
        failed_any=1
        exit 1
    fi
    point_count[$scenario]=$(cat "$root/counted.count")
    echo "$scenario: ${point_count[$scenario]} points (trace: $root/counted.trace)"
done

# --- The sweep

point_pids=()
for item in "${selection[@]}"; do
    scenario=${item%%:*}
    rest=${item#*:}
    mode=${rest%%:*}
    list=${rest#*:}
    [ "$list" != "$rest" ] || list=
    [ -n "$list" ] || list="1-${point_count[$scenario]}"
    for point in $(expand_list "$list"); do
        [ "$point" -ge 1 ] && [ "$point" -le "${point_count[$scenario]}" ] || continue
        echo "$point" >> "$work/results/$scenario.$mode.selected"
        while [ "$(jobs -rp | grep -vcx "${nginx_pid:-none}")" -ge "$jobs" ]; do
            sleep 0.2
        done
        # The shell reports every updater killed on purpose; those notices go to a file.
        run_point "$scenario" "$mode" "$point" 2>>"$work/points/errors.log" &
        point_pids+=($!)
    done
done
for pid in "${point_pids[@]}"; do
    wait "$pid" || true
done

# --- Report

for item in "${selection[@]}"; do
    scenario=${item%%:*}
    rest=${item#*:}
    mode=${rest%%:*}
    selected="$work/results/$scenario.$mode.selected"
    [ -f "$selected" ] || continue
    [ ! -f "$selected.reported" ] || continue
    touch "$selected.reported"
    total=0
    held=0
    failures=()
    for point in $(sort -n -u "$selected"); do
        total=$((total + 1))
        result="$work/results/$scenario.$mode.$point"
        if [ -f "$result" ] && head -n 1 "$result" | grep -q '^held'; then
            held=$((held + 1))
        else
            what=$(grep -m 1 "^$point " "$work/count-$scenario/counted.trace" | cut -d' ' -f2- \
                   | sed "s|$work/count-$scenario/||g")
            reason=$( [ -f "$result" ] && tr '\n' ' ' < "$result" || echo "no result")
            failures+=("  point $point ($what): $reason")
        fi
    done
    echo "$scenario $mode: $total points, $held held"
    for failure in "${failures[@]}"; do
        echo "$failure"
    done
    for name in Orvalink.exe config; do
        lacking="$work/results/$scenario.$mode.lacks-$name"
        [ ! -f "$lacking" ] || echo "  $name missing after the kill at: $(sort -n "$lacking" | tr '\n' ' ')"
    done
    [ "$held" -eq "$total" ] || failed_any=1
done
[ "$failed_any" = 0 ]
