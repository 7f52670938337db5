#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The web port over HTTPS beside nginx, and what a password costs per request. linewatchd (with the
# router simulator) serves its page over TLS from a web configuration file; nginx with one worker,
# TLS 1.3 only and keep-alive off serves a file of the page's size with the same certificate. For
# 10 and 100 clients (threads of a compiled client, bench/tlsload.cpp: a full handshake and one GET
# per connection) run against each server in turn, the first one swapped each round, for ROUNDS
# rounds of SECONDS: whole 200 answers a second and each server's CPU per answer (/proc/PID/stat;
# nginx's master and worker), their ratios, the client's own CPU per answer, and the medians, with
# the connections that got no whole 200 answer. The client spends about twice a server's CPU per
# connection, so on a small machine the rates are the client's as much as the servers'.
# Then plain HTTP without and with basic_auth_users: linewatchd's CPU for the first /metrics with
# a password (bcrypt) and per request for REQUESTS more, beside the same without a password.
# Usage: bench/httpscompare.sh [BUILD_DIR] [SECONDS] [ROUNDS] [REQUESTS] (build-release 10 3 200)
# Needs openssl, curl, htpasswd (apache2-utils), python3 and nginx. Everything on 127.0.0.1.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-release}
seconds=${2:-10}
rounds=${3:-3}
requests=${4:-200}
daemon=$build/linewatchd
simulator=$build/linewatch-routersim
load=$build/bench/lw_tlsload
for program in "$daemon" "$simulator" "$load"; do
    if [ ! -x "$program" ]; then
        echo "no $program: cmake --preset release && cmake --build build-release --target linewatchd linewatch-routersim lw_tlsload" >&2
        exit 2
    fi
done
nginx_bin=$(command -v nginx || true)
[ -z "$nginx_bin" ] && [ -x /usr/sbin/nginx ] && nginx_bin=/usr/sbin/nginx
for tool in openssl curl htpasswd python3 "$nginx_bin"; do
    command -v "$tool" >/dev/null || { echo "${tool:-nginx} not installed" >&2; exit 2; }
done

. "$here/tools/lib.sh"
fail() {
    echo "httpscompare: $*" >&2
    [ -f "$work/linewatchd.err" ] && tail -20 "$work/linewatchd.err" >&2
    exit 1
}
. "$here/tests/daemon/daemonlib.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do lw_wait_gone "$pid" 50 || kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/tls" "$work/root" "$work/tmp"
export LC_ALL=C HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state
export XDG_DATA_HOME=$work/home/.local/share
unset STATE_DIRECTORY

# --- a throw-away P-256 CA and server certificate for 127.0.0.1; a bcrypt password ---
tls=$work/tls
lw_make_certificates "$tls"
user=scraper
pass='bench pass'
hash=$(htpasswd -nbBC 10 "$user" "$pass" | cut -d: -f2)
printf 'tls_server_config:\n  cert_file: tls/server.pem\n  key_file: tls/server.key\n' >"$work/tls.yml"
# A second user for waiting on the status screen, so that the first scrape meets a cold cache.
waiter_hash=$(htpasswd -nbBC 10 waiter "$pass" | cut -d: -f2)
printf 'basic_auth_users:\n  %s: %s\n  waiter: %s\n' "$user" "'$hash'" "'$waiter_hash'" >"$work/auth.yml"

# --- the simulator, once for every linewatchd started here ---
lw_router_script "$work/router.txt"
"$simulator" --port 0 --script "$work/router.txt" >"$work/sim.out" 2>&1 &
pids+=($!)
router_port=$(lw_wait_simulator "$work/sim.out") || fail "the simulator did not start"

# start_daemon [WEB_CONFIG]: linewatchd on a free web port of 127.0.0.1 (sets daemon_pid and
# web_port), waiting for the status screen over plain HTTP or, with tls.yml, over HTTPS.
daemon_pid=""
start_daemon() {
    local config=${1:-} args=()
    web_port=$(lw_pick_port) || fail "no free port"
    lw_daemon_settings "$work/linewatch.ini" "$router_port" "$web_port"
    [ -n "$config" ] && args=(--web.config.file "$work/$config")
    "$daemon" --config "$work/linewatch.ini" "${args[@]}" 2>"$work/linewatchd.err" &
    daemon_pid=$!
    pids+=("$daemon_pid")
    local scheme=http
    [ "$config" = tls.yml ] && scheme=https
    for _ in $(seq 1 300); do
        if curl -s -m 10 --cacert "$tls/ca.pem" -u "waiter:$pass" "$scheme://127.0.0.1:$web_port/status.json" |
            grep -qF '"state":"status_screen"'; then
            return 0
        fi
        kill -0 "$daemon_pid" 2>/dev/null || fail "linewatchd ended"
        sleep 0.2
    done
    fail "linewatchd never reached the status screen"
}
stop_daemon() {
    kill "$daemon_pid"
    lw_wait_gone "$daemon_pid" 100 || kill -KILL "$daemon_pid" 2>/dev/null || true
}

# cpu_ticks PID...: user plus system clock ticks of the processes, all threads.
cpu_ticks() {
    local total=0 pid stat f
    for pid in "$@"; do
        stat=$(cat "/proc/$pid/stat")
        stat=${stat##*) }                # the fields after the command name, from the state
        read -r -a f <<<"$stat"
        total=$((total + f[11] + f[12])) # utime and stime: fields 14 and 15
    done
    echo "$total"
}
hz=$(getconf CLK_TCK)

# --- linewatchd over TLS; nginx serving the page's bytes with the same certificate ---
start_daemon tls.yml
ours_url=https://127.0.0.1:$web_port/
curl -s -m 10 --cacert "$tls/ca.pem" -o "$work/root/index.html" "$ours_url"
page_size=$(wc -c <"$work/root/index.html")
chmod 755 "$work" "$work/root"
chmod 644 "$work/root/index.html"
nginx_port=$(lw_pick_port) || fail "no free port"
nginx_user=""
[ "$(id -u)" = 0 ] && nginx_user="user root;"
cat >"$work/nginx.conf" <<EOF
$nginx_user
daemon off;
master_process on;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log warn;
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
        listen 127.0.0.1:$nginx_port ssl;
        ssl_certificate $tls/server.pem;
        ssl_certificate_key $tls/server.key;
        ssl_protocols TLSv1.3;
        root $work/root;
        default_type text/html;
    }
}
EOF
# In the foreground of this session, as linewatchd: the kernel's automatic grouping of sessions
# would give a daemon of its own session a whole group's share of the machine.
"$nginx_bin" -c "$work/nginx.conf" -p "$work" 2>"$work/nginx-start.log" &
nginx_pid=$!
pids+=("$nginx_pid")
for _ in $(seq 1 50); do [ -s "$work/nginx.pid" ] && break; sleep 0.1; done
[ -s "$work/nginx.pid" ] || fail "nginx did not start: $(cat "$work/nginx-start.log")"
nginx_worker=""
for _ in $(seq 1 50); do
    nginx_worker=$(pgrep -P "$nginx_pid" | head -1) && break
    sleep 0.1
done
[ -n "$nginx_worker" ] || fail "no nginx worker"
nginx_url=https://127.0.0.1:$nginx_port/
[ "$(curl -s -m 10 --cacert "$tls/ca.pem" "$nginx_url" | wc -c)" = "$page_size" ] || fail "nginx serves another size"

echo "HTTPS, TLS 1.3, P-256 certificate, a full handshake and one GET / per connection ($page_size-byte page)"
echo "linewatchd (pid $daemon_pid) on 127.0.0.1:$web_port; nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///') one worker on 127.0.0.1:$nginx_port, keep-alive off"

# The clients (bench/tlsload.cpp): CLIENTS threads, each for SECONDS a new TLS connection, GET /
# and the answer to its end, no session resumed; a compiled client, so that the two cores are spent
# on the servers rather than on a script's interpreter. A connection counts as answered only with a
# 200 and a body of its Content-Length. (`openssl s_time` gives up at the first handshake the
# server closes and then prints nothing, so a busy server's count would be lost.)

# round PORT CLIENTS PID...: one round of the clients; prints "connections answers
# answers_per_second cpu_us_per_answer client_cpu_us_per_answer" for the server's processes PID....
round() {
    local port=$1 clients=$2
    shift 2
    local before after made answered client
    before=$(cpu_ticks "$@")
    read -r made answered client <<<"$("$load" "$port" "$clients" "$seconds" "$tls/ca.pem")"
    after=$(cpu_ticks "$@")
    [ "${answered:-0}" -gt 0 ] || fail "no answers from 127.0.0.1:$port"
    awk -v n="$made" -v a="$answered" -v s="$seconds" -v cpu=$((after - before)) -v hz="$hz" -v c="$client" \
        'BEGIN { printf "%d %d %.0f %.0f %.0f\n", n, a, a / s, cpu / hz * 1e6 / a, c / a }'
}

# median COLUMN: the median of a column of the rounds file.
median() {
    cut -d' ' -f"$1" "$work/rounds" | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
for clients in 10 100; do
    echo
    echo "$clients clients, $rounds rounds of $seconds s each: whole 200 answers a second, connections without one,"
    echo "the servers' CPU per answer in microseconds, the ratios ours/nginx, and the client's CPU per answer:"
    printf '  %-6s %8s %8s %7s %7s %6s %9s %9s %6s %9s %9s\n' round ours/s nginx/s lost-us lost-ng rate cpu-ours \
        cpu-ng cpu client-us client-ng
    : >"$work/rounds"
    for r in $(seq 1 "$rounds"); do
        # Turn about, so that neither server always meets the machine as the other left it.
        if [ $((r % 2)) = 1 ]; then
            ours=$(round "$web_port" "$clients" "$daemon_pid")
            theirs=$(round "$nginx_port" "$clients" "$nginx_pid" "$nginx_worker")
        else
            theirs=$(round "$nginx_port" "$clients" "$nginx_pid" "$nginx_worker")
            ours=$(round "$web_port" "$clients" "$daemon_pid")
        fi
        read -r ours_made ours_given ours_rate ours_cpu ours_client <<<"$ours"
        read -r nginx_made nginx_given nginx_rate nginx_cpu nginx_client <<<"$theirs"
        line=$(awk -v a="$ours_rate" -v b="$nginx_rate" -v c="$ours_cpu" -v d="$nginx_cpu" \
            -v la=$((ours_made - ours_given)) -v lb=$((nginx_made - nginx_given)) \
            -v ca="$ours_client" -v cb="$nginx_client" \
            'BEGIN { printf "%d %d %d %d %.2f %d %d %.2f %d %d", a, b, la, lb, a / b, c, d, (d > 0 ? c / d : 0), ca, cb }')
        echo "$line" >>"$work/rounds"
        # shellcheck disable=SC2086 # the line's words are the columns
        printf '  %-6s %8s %8s %7s %7s %6s %9s %9s %6s %9s %9s\n' "$r" $line
    done
    printf '  %-6s %8s %8s %7s %7s %6s %9s %9s %6s %9s %9s\n' median "$(median 1)" "$(median 2)" "$(median 3)" \
        "$(median 4)" "$(median 5)" "$(median 6)" "$(median 7)" "$(median 8)" "$(median 9)" "$(median 10)"
done
kill "$nginx_pid"
lw_wait_gone "$nginx_pid" 100 || kill -KILL "$nginx_pid" 2>/dev/null || true
stop_daemon

# --- plain HTTP: /metrics without a password, then with basic_auth_users (bcrypt cost 10) ---
# One request per connection from a Python client; CPU from the kernel's per-thread run time
# (/proc/PID/task/*/schedstat, nanoseconds), as a request costs well under a clock tick.
cat >"$work/scrape.py" <<'EOF'
import base64, socket, sys
port, count, user, password = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
auth = ""
if user:
    auth = "Authorization: Basic " + base64.b64encode(f"{user}:{password}".encode()).decode() + "\r\n"
request = f"GET /metrics HTTP/1.0\r\nHost: 127.0.0.1:{port}\r\n{auth}\r\n".encode()
for _ in range(count):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(request)  # one write: the server answers what its first read holds
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    if not answer.startswith(b"HTTP/1.0 200"):
        sys.exit("not 200: " + answer[:40].decode(errors="replace"))
EOF
run_ns() {
    cat /proc/"$daemon_pid"/task/*/schedstat 2>/dev/null | awk '{ t += $1 } END { printf "%.0f", t }'
}
# scrape COUNT [USER PASS]: linewatchd's run time in microseconds for COUNT requests.
scrape() {
    local before after
    before=$(run_ns)
    python3 "$work/scrape.py" "$web_port" "$1" "${2:-}" "${3:-}" || fail "a scrape was not answered 200"
    after=$(run_ns)
    echo $(((after - before) / 1000))
}
echo
echo "plain HTTP, /metrics, one request per connection, linewatchd's CPU (microseconds):"
start_daemon
scrape 1 >/dev/null
plain=$(scrape "$requests")
stop_daemon
start_daemon auth.yml
first=$(scrape 1 "$user" "$pass")
auth=$(scrape "$requests" "$user" "$pass")
stop_daemon
awk -v p="$plain" -v a="$auth" -v f="$first" -v n="$requests" 'BEGIN {
    printf "  without a password: %.0f per request (%d requests)\n", p / n, n
    printf "  with a password:    first request %.0f (bcrypt), then %.0f per request (%d requests)\n", f, a / n, n
    printf "  with / without, after the first: %.2f\n", a / p
}'
