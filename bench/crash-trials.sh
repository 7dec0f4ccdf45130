#!/usr/bin/env bash
# Crash trials: runs whole offline updates of the built updater over an installation that holds
# the user's entries, kills the updater with SIGKILL at a random moment (odd trials: 1.0 to 2.5 s
# after its start, and since it pauses 1.2 s before it installs, the kills fall before, into and
# after the exchange of the installation; even trials: 0 to 0.4 s after the installation began),
# then lets the next update run to its end with a fresh payload and checks that
#   - every user entry (config, groups, profiles with hidden files, a link to a folder outside,
#     and that folder) is byte for byte as before, and
#   - the installation is complete: every file of the last payload is there with its contents.
# Tree sizes vary from trial to trial. Prints "kept all user entries and a complete
# installation: X/N" and exits with 0 only when X equals N; also how many kills left the
# installation without Orvalink.exe or config until the next update.
#
# Half of the trials (the third and fourth of every four) run under Windows' rules
# (lib/libwindowsrules.so beside the bin directory) with app.dll a running image: the
# installation directory cannot be renamed, so the update takes the in-place path, and its even
# trials aim at the in-place transaction itself.
#
# Usage: bench/crash-trials.sh [--bin DIR] [--keep] [TRIALS]   (default 100 trials, build/bin)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin="$here/../build/bin"
trials=100
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
        --bin) bin="$2"; shift 2 ;;
        --keep) keep=1; shift ;;
        -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
        *) trials="$1"; shift ;;
    esac
done
updater="$bin/OrvalinkUpdater"
rules_library="$bin/../lib/libwindowsrules.so"
if [ ! -x "$updater" ]; then
    echo "no updater at $updater (build first, or pass --bin DIR)" >&2
    exit 2
fi

export QT_QPA_PLATFORM=offscreen
export PATH="$bin:$PATH"

work=$(mktemp -d "${TMPDIR:-/tmp}/crash-trials.XXXXXX")
running_pid=
failed_trials=()
finish() {
    if [ -n "$running_pid" ]; then
        kill -KILL "$running_pid" 2>/dev/null || true
        wait "$running_pid" 2>/dev/null || true
    fi
    if [ "$keep" = 1 ] || [ ${#failed_trials[@]} -gt 0 ]; then
        echo "trial folders kept in $work"
    else
        rm -rf "$work"
    fi
}
trap finish EXIT

# Random number in [0, n).
rnd() { echo $(( (RANDOM * 32768 + RANDOM) % $1 )); }

# count files of varying size under dir, named prefix-N.
fill() {
    local dir=$1 count=$2 prefix=$3 i
    mkdir -p "$dir"
    for ((i = 0; i < count; i++)); do
        printf '%s %d %0*d\n' "$prefix" "$i" $(( (i * 7919) % 3000 )) 0 > "$dir/$prefix-$i"
    done
}

write_payload() {
    local dir=$1 label=$2 extra=$3
    mkdir -p "$dir/lib" "$dir/resources"
    printf '#!/bin/sh\nexit 0\n' > "$dir/Orvalink.exe"
    chmod 755 "$dir/Orvalink.exe"
    echo "core $label" > "$dir/Core.exe"
    echo "app $label" > "$dir/app.dll"
    head -c 200000 /dev/urandom > "$dir/lib/runtime.bin"
    echo "Установка обновления $label" > "$dir/resources/ru.txt"
    fill "$dir/data" "$extra" "$label"
}

# The user's entries as a sorted listing: type, mode, path and link target of every entry, then
# the digest of every file. Links are listed, never followed.
user_manifest() {
    local install=$1 outside=$2
    (cd "$install" && find config groups profiles -printf '%y %m %p -> %l\n' | LC_ALL=C sort
     cd "$install" && find config groups profiles -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
    (cd "$outside" && find . -printf '%y %m %p\n' | LC_ALL=C sort
     cd "$outside" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}

payload_manifest() {
    (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}

# Windows' rules for one trial, as the environment of the updaters it runs.
rules_environment() {
    local install=$1 locked=$2
    if [ "$locked" = 1 ]; then
        echo "LD_PRELOAD=$rules_library WINDOWS_RULES_RUNNING_IMAGES=$install/app.dll" \
            "WINDOWS_RULES_OPEN_FILES_UNDER=$install:$(dirname "$install")/.orvalink-backup-$(basename "$install")"
    fi
}

# Runs one offline update to its end; 0 when the updater finished it and closed its window.
run_update() {
    local payload=$1 install=$2 locked=${3:-0}
    env $(rules_environment "$install" "$locked") \
        "$updater" --offline-payload-root "$payload" --install-dir "$install" --current-version 2.4.1 \
        >/dev/null 2>&1 &
    running_pid=$!
    local waited=0
    while kill -0 "$running_pid" 2>/dev/null; do
        if [ $waited -ge 600 ]; then  # 60 s: a failed update keeps its window open
            kill -KILL "$running_pid" 2>/dev/null || true
            wait "$running_pid" 2>/dev/null || true
            running_pid=
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    local status=0
    wait "$running_pid" || status=$?
    running_pid=
    return $status
}

# The template: an installation whose settings were already migrated by one whole update, so
# that every later migration leaves config byte for byte as it is.
template="$work/template"
mkdir -p "$template/Orvalink/lib" "$template/Orvalink/config/route_profiles" \
    "$template/Orvalink/groups" "$template/Orvalink/profiles/nested/.hidden-dir"
(
    cd "$template/Orvalink"
    printf '#!/bin/sh\nexit 0\n' > Orvalink.exe && chmod 755 Orvalink.exe
    echo "core 2.4.1" > Core.exe
    echo "app 2.4.1" > app.dll
    head -c 100000 /dev/urandom > lib/runtime.bin
    cat > config/configs.json <<'JSON'
{"sub_send_hwid": true, "remember_id": "user-77", "remember_enable": false,
 "current_group": "Европа", "sub_custom_hwid_params": {"model": "X1", "extra": [1, 2]},
 "theme": "dark", "xray_profile_migration_version": 3}
JSON
    echo "geometry=1,2,3,4" > config/.window-state
    echo "[]" > config/shortcuts.json
    echo "{}" > config/route_profiles/r1.json
    echo '{"servers": 12}' > groups/europe.json
    echo "europe" > groups/.order
    echo '{"name": "Дом"}' > profiles/default.json
    echo "token" > profiles/.secret && chmod 600 profiles/.secret
    echo "deep" > profiles/nested/.hidden-dir/deep.txt
)
write_payload "$template/drop/payload" "3.0.0" 3
if ! run_update "$template/drop/payload" "$template/Orvalink"; then
    echo "the first, uninterrupted update of the template failed" >&2
    exit 1
fi
rm -rf "$template/.orvalink-legacy-config-backup"

kept=0
declare -A lacking=([Orvalink.exe]=0 [config]=0)
before_install=0
during_install=0
after_install=0
for ((trial = 1; trial <= trials; trial++)); do
    root="$work/trial-$trial"
    mkdir -p "$root/outside"
    cp -a "$template/Orvalink" "$root/Orvalink"
    install="$root/Orvalink"
    echo "outside the installation" > "$root/outside/shared.txt"
    ln -s "$root/outside" "$install/profiles/shared"

    # Vary the sizes: the user's entries, the installation they sit in and the payloads.
    fill "$install/config/logs" "$(rnd 400)" log
    fill "$install/groups/extra" "$(rnd 300)" group
    fill "$install/profiles/.cache" "$(rnd 300)" cached
    fill "$install/plugins" "$(rnd 2000)" old
    user_manifest "$install" "$root/outside" > "$root/user.before"

    locked=0
    if [ $(( (trial - 1) % 4 )) -ge 2 ]; then
        if [ ! -f "$rules_library" ]; then
            echo "no $rules_library (build the tests' support libraries)" >&2
            exit 2
        fi
        locked=1
    fi
    write_payload "$root/drop1/payload" "3.0.0-a" "$(rnd 2000)"
    env $(rules_environment "$install" "$locked") \
        "$updater" --offline-payload-root "$root/drop1/payload" --install-dir "$install" \
        --current-version 2.4.1 >/dev/null 2>&1 &
    running_pid=$!
    if [ $((trial % 2)) -eq 1 ]; then
        # Odd trials: a random moment 1.0 to 2.5 s after the start.
        delay=$(awk -v r="$(rnd 1501)" 'BEGIN { printf "%.3f", 1.0 + r / 1000 }')
        sleep "$delay"
        moment="${delay} s after the start"
    else
        # Even trials aim at the exchange itself: a random moment up to 0.4 s after the
        # payload appears beside the installation, which is the installation's first step, or,
        # in place, after the journal of the in-place transaction appears.
        mark="$root/.orvalink-incoming-Orvalink"
        [ "$locked" = 1 ] && mark="$root/.orvalink-backup-Orvalink/journal"
        until [ -e "$mark" ] || ! kill -0 "$running_pid" 2>/dev/null; do
            sleep 0.005
        done
        delay=$(awk -v r="$(rnd 401)" 'BEGIN { printf "%.3f", r / 1000 }')
        sleep "$delay"
        moment="${delay} s into the installation"
    fi
    if [ "$locked" = 1 ]; then
        moment="$moment, in place"
    fi
    kill -KILL "$running_pid" 2>/dev/null || true
    wait "$running_pid" 2>/dev/null || true
    running_pid=

    for name in Orvalink.exe config; do
        [ -e "$install/$name" ] || lacking[$name]=$((lacking[$name] + 1))
    done
    if compgen -G "$root/.orvalink-backup-*" >/dev/null || compgen -G "$root/.orvalink-incoming-*" >/dev/null; then
        phase=during
        during_install=$((during_install + 1))
    elif [ -d "$root/drop1/payload" ]; then
        phase=before
        before_install=$((before_install + 1))
    else
        phase=after
        after_install=$((after_install + 1))
    fi

    write_payload "$root/drop2/payload" "3.0.0-b" "$(rnd 2000)"
    payload_manifest "$root/drop2/payload" > "$root/payload.manifest"
    problems=()
    if ! run_update "$root/drop2/payload" "$install" "$locked"; then
        problems+=("the update after the kill did not finish")
    fi
    if [ -d "$install" ]; then
        user_manifest "$install" "$root/outside" > "$root/user.after" 2>/dev/null || true
        if ! cmp -s "$root/user.before" "$root/user.after"; then
            problems+=("user entries differ: $(diff "$root/user.before" "$root/user.after" | head -5 | tr '\n' ' ' || true)")
        fi
        if ! (cd "$install" && sha256sum --quiet --status -c "$root/payload.manifest"); then
            problems+=("the installation lacks files of the payload")
        fi
    else
        problems+=("the installation directory is gone")
    fi

    if [ ${#problems[@]} -eq 0 ]; then
        kept=$((kept + 1))
        rm -rf "$root"
    else
        failed_trials+=("$trial")
        echo "trial $trial (killed $moment, $phase installing): ${problems[*]}"
    fi
done

echo "kills before installing: $before_install, while installing: $during_install, after: $after_install"
echo "kills that left the installation without Orvalink.exe: ${lacking[Orvalink.exe]}, without config: ${lacking[config]}"
echo "kept all user entries and a complete installation: $kept/$trials"
[ "$kept" -eq "$trials" ]
