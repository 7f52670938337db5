#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Web server requests per second beside a static file server: lw_webload runs the same load (one
# GET per connection, 10 and 100 connections in flight) for the status page, /metrics and
# /status.json against the monitor's web server and against nginx with one worker and keep-alive
# off, serving files the size of our answers' bodies, on 127.0.0.1. The rate against nginx is
# bound by the one client thread (near 20,000 answers a second on a 2-core machine), so every line
# gives each server's CPU time per answer beside its rate, and their ratio. Each comparison runs in
# ROUNDS short rounds, the two servers in turn, each round printed with its failures, and gives
# the medians with their spread, so that a busy machine's passing load does not decide it.
# Usage: bench/webcompare.sh [BUILD_DIR] [REQUESTS] [ROUNDS] [LW_WEBLOAD_ARGS...]
# (defaults: build-release, 5000, 5; further arguments, such as --path /live, go to lw_webload)
# nginx is not a dependency of the program; without it the script says so and measures ours alone.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-release}"
requests="${2:-5000}"
rounds="${3:-5}"
shift $(($# < 3 ? $# : 3))
load="$build/bench/lw_webload"
if [ ! -x "$load" ]; then
    echo "no $load: build it first (cmake --preset release && cmake --build build-release --target lw_webload)" >&2
    exit 2
fi

nginx_bin="$(command -v nginx || true)"
[ -z "$nginx_bin" ] && [ -x /usr/sbin/nginx ] && nginx_bin=/usr/sbin/nginx
if [ -z "$nginx_bin" ]; then
    echo "nginx is not installed: measuring our web server alone (apt-get install nginx-light to compare)"
    exec "$load" --requests "$requests" "$@"
fi

work="$(mktemp -d)"
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root"
"$load" --pages-out "$work/root" "$@"
# nginx's worker may run as another user (www-data when started by root).
chmod 755 "$work" "$work/root"
chmod 644 "$work/root/"*
# A free loopback port for nginx.
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
cat >"$work/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path $work/tmp;
    proxy_temp_path $work/tmp;
    fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp;
    scgi_temp_path $work/tmp;
    server {
        listen 127.0.0.1:$port;
        root $work/root;
        default_type text/html;
    }
}
EOF
mkdir -p "$work/tmp"
# In the foreground of this session: a daemon would start a session of its own, and with the
# kernel's automatic grouping of sessions it would get a whole group's share of a busy machine's
# CPU against the half of one that our server thread shares with the load's client thread.
"$nginx_bin" -c "$work/nginx.conf" -p "$work" 2>"$work/start.log" &
nginx_pid=$!
for _ in $(seq 50); do
    [ -s "$work/nginx.pid" ] && break
    sleep 0.1
done
if [ ! -s "$work/nginx.pid" ]; then
    echo "nginx did not start:" >&2
    cat "$work/start.log" >&2
    exit 1
fi
# The worker: the master's only child.
worker=""
for _ in $(seq 50); do
    worker="$(pgrep -P "$(cat "$work/nginx.pid")" | head -1)" && break
    sleep 0.1
done
echo "nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///') on 127.0.0.1:$port, one worker (pid $worker), keep-alive off"
"$load" --requests "$requests" --rounds "$rounds" --compare-port "$port" --compare-pid "$worker" "$@"
