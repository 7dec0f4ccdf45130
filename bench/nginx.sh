# A private nginx for the benchmarks; sourced, not run. start_nginx WORK LOG_LINES serves
# WORK/www on a free loopback port, its own files in WORK/nginx; LOG_LINES go into its http block
# (access_log off, or a log format and an access_log). It sets nginx_pid and port, or exits the
# script with nginx's complaint. stop_nginx ends it. make_bench_work NAME makes the run's private
# directory, sets work to it and has the exit trap stop nginx and remove it, and lets Qt programs
# run without a display.

make_bench_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    trap 'stop_nginx; rm -rf "$work"' EXIT
    mkdir -m 700 "$work/runtime"
    export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime"
}

start_nginx() {
    local work=$1 log_lines=$2 attempt
    mkdir -p "$work/www" "$work/nginx/logs"
    # nginx's workers drop root's rights; mktemp made the work directory private to us.
    chmod 755 "$work" "$work/www"
    port=
    for attempt in $(seq 1 20); do
        local candidate=$(( 20000 + (RANDOM * 7 + attempt) % 40000 ))
        : > "$work/nginx/logs/start.log"
        cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 64; }
http {
    $log_lines
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$candidate;
        root $work/www;
    }
}
CONF
        nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' \
            2>>"$work/nginx/logs/start.log" &
        nginx_pid=$!
        for _ in $(seq 1 50); do
            # Any answer will do: the folder has no index.
            if curl -s -o /dev/null "http://127.0.0.1:$candidate/"; then
                port=$candidate
                return 0
            fi
            kill -0 "$nginx_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_nginx
        # Only a port taken in the meantime is worth another try.
        grep -q "Address already in use" "$work/nginx/logs/start.log" "$work/nginx/logs/error.log" \
            2>/dev/null || break
    done
    echo "nginx did not start:" >&2
    tail -n 5 "$work/nginx/logs/"*.log >&2
    exit 1
}

stop_nginx() {
    if [ -n "${nginx_pid:-}" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=
    fi
}
