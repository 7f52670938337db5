#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# linewatchd as a service runs it: no GUI library, --help/--version without side effects, a
# missing, unreadable or foreign settings file (a FIFO, random bytes, an empty file) refused, a
# bad value logged and its default used; against the router simulator it reaches the status
# screen and serves /status.json, /metrics, the page and 404s on 127.0.0.1 only, lives on when the
# router hangs up, ends on SIGTERM/SIGINT promptly with status 0, reloads its settings on SIGHUP
# (keeping them when the file broke), and leaves its settings file untouched; --export-csv writes
# the call history as CSV that Python's csv module reads back.
# Everything stays on 127.0.0.1.
# Usage: daemon_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR [HISTORYFILL]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$(realpath "$1")
simulator=$2
out_dir=$3
historyfill=${4:-}

rm -rf "$out_dir"
mkdir -p "$out_dir"

fail() {
    echo "daemon check failed: $*" >&2
    for log in "$out_dir"/*.err "$out_dir"/sim.out; do
        [ -f "$log" ] && sed "s|^|$(basename "$log"): |" "$log" | tail -20 >&2
    done
    exit 1
}
# shellcheck source=SCRIPTDIR/daemonlib.sh
. "$(dirname "$0")/daemonlib.sh"

sim_pid=""
daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ]; then kill -KILL "$daemon_pid" 2>/dev/null || true; fi
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Every run gets a home of its own: whatever the daemon creates there is visible, nothing of the
# user's is touched.
sandbox() {
    local home=$1
    export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_STATE_HOME=$home/.local/state
    export XDG_CACHE_HOME=$home/.cache XDG_DATA_HOME=$home/.local/share
    unset STATE_DIRECTORY
}
export LC_ALL=C

# --- no GUI library ---
libraries=$(ldd "$daemon") || fail "ldd"
grep -q 'libQt6Core' <<<"$libraries" || fail "ldd shows no Qt at all: $libraries"
! grep -E 'libQt6(Gui|Widgets)' <<<"$libraries" || fail "linewatchd links a GUI library"

# --- --help and --version print, succeed and create nothing ---
for option in --help --version; do
    dir="$out_dir/empty$option"
    mkdir -p "$dir"
    (cd "$dir" && sandbox "$dir" && "$daemon" "$option" >"$out_dir/option.out" 2>"$out_dir/option$option.err") ||
        fail "$option: exit status $?"
    created=$(find "$dir" -mindepth 1)
    [ -z "$created" ] || fail "$option created: $created"
    case $option in
    --help) grep -q -- '--config' "$out_dir/option.out" || fail "--help does not name --config" ;;
    --version) grep -qE '^linewatchd [0-9]+(\.[0-9]+)+$' "$out_dir/option.out" || fail "--version printed: $(cat "$out_dir/option.out")" ;;
    esac
done
# The version --version prints is the one /status.json and the page's footer give below.
version=$(sed -n 's/^linewatchd //p' "$out_dir/option.out")

# --- a settings file that cannot be read: a clear error, status 1 (a FIFO used to hang) ---
sandbox "$out_dir/home"
mkdir -p "$out_dir/home" "$out_dir/notafile.ini"
mkfifo "$out_dir/fifo.ini"
for config in "$out_dir/missing.ini" "$out_dir/notafile.ini" "$out_dir/fifo.ini"; do
    status=0
    timeout 20 "$daemon" --config "$config" >/dev/null 2>"$out_dir/unreadable.err" || status=$?
    [ "$status" -eq 1 ] || fail "$config: exit status $status"
    grep -qF "<3>linewatchd: cannot read the settings file $config" "$out_dir/unreadable.err" ||
        fail "$config: no clear message"
done
rm "$out_dir/unreadable.err" "$out_dir/fifo.ini"

# --- --web.listen-address that is no HOST:PORT: a clear error, status 2 ---
for value in 9100 office:9100 127.0.0.1:70000; do
    status=0
    "$daemon" --config "$out_dir/missing.ini" --web.listen-address "$value" >/dev/null 2>"$out_dir/listen.err" ||
        status=$?
    [ "$status" -eq 2 ] && grep -qF -- "--web.listen-address $value is not HOST:PORT" "$out_dir/listen.err" ||
        fail "--web.listen-address $value: status $status"
done
rm "$out_dir/listen.err"

# --- a file with none of our sections is refused, not run on the defaults' router address ---
head -c 4096 /dev/urandom | tr -d '[' >"$out_dir/random.ini"
: >"$out_dir/empty.ini"
printf '[Desktop Entry]\nName=Other\nExec=other\n' >"$out_dir/foreign.ini"
for config in "$out_dir/random.ini" "$out_dir/empty.ini" "$out_dir/foreign.ini"; do
    status=0
    timeout 20 "$daemon" --config "$config" >/dev/null 2>"$out_dir/foreign.err" || status=$?
    [ "$status" -eq 1 ] || fail "$config: exit status $status"
    grep -qF "<3>linewatchd: $config holds none of linewatch's settings sections" "$out_dir/foreign.err" ||
        fail "$config: no clear message"
    ! grep -q "192.168.0.1" "$out_dir/foreign.err" || fail "$config: reached for the default router"
done
rm "$out_dir/foreign.err" "$out_dir"/{random,empty,foreign}.ini

# --- --export-csv: the settings file's database as CSV, to a file or standard output ---
if [ -n "$historyfill" ]; then
    dir="$out_dir/export"
    mkdir -p "$dir"
    printf '%s\r\n' '[Logging]' 'Database=calls.sqlite' >"$dir/linewatch.ini"
    "$historyfill" --calls 500 --days 10 --end 2026-12-07 --awkward "$dir/calls.sqlite" >/dev/null ||
        fail "historyfill"
    "$daemon" --config "$dir/linewatch.ini" --export-csv "$dir/all.csv" 2>"$out_dir/export.err" ||
        fail "--export-csv: exit status $?"
    grep -q "500 calls" "$out_dir/export.err" || fail "--export-csv did not say what it wrote"
    "$daemon" --config "$dir/linewatch.ini" --export-csv - --since 2026-12-05 >"$dir/since.csv" 2>"$out_dir/export.err" ||
        fail "--export-csv - --since: exit status $?"
    python3 - "$dir/all.csv" "$dir/since.csv" <<'PY' || fail "the CSV does not read back"
import csv, sys
def rows(name):
    with open(name, newline="", encoding="utf-8") as f:
        return list(csv.reader(f, strict=True))
everything, since = rows(sys.argv[1]), rows(sys.argv[2])
header = everything[0]
assert header[:5] == ["id", "channel", "kind", "direction", "start_utc"], header
assert header[8:10] == ["tx_packets", "rx_packets"], header
assert len(everything) == 501, len(everything)
assert all(len(r) == len(header) for r in everything), "ragged rows"
remotes = {r[header.index("remote")] for r in everything[1:]}
assert 'Müller, "Büro"' in remotes and "line\r\nbreak" in remotes, remotes
starts = [r[4] for r in everything[1:]]
assert starts == sorted(starts), "not oldest first"
assert 1 < len(since) < 501 and all(r[4] >= "2026-12-05T00:00:00Z" for r in since[1:]), len(since)
assert since[0] == header
PY
    # Failures: a clear message and a non-zero status, and no half-written file.
    status=0
    "$daemon" --config "$dir/linewatch.ini" --export-csv - --since yesterday >/dev/null 2>"$out_dir/export.err" ||
        status=$?
    [ "$status" -ne 0 ] && grep -q "no ISO 8601 date" "$out_dir/export.err" || fail "bad --since: status $status"
    status=0
    "$daemon" --config "$dir/linewatch.ini" --export-csv "$dir/no/such/dir.csv" 2>"$out_dir/export.err" || status=$?
    [ "$status" -ne 0 ] && grep -q "cannot write $dir/no/such/dir.csv" "$out_dir/export.err" ||
        fail "unwritable file: status $status"
    printf '%s\r\n' '[Logging]' 'Database=missing.sqlite' >"$dir/missing.ini"
    status=0
    "$daemon" --config "$dir/missing.ini" --export-csv "$dir/missing.csv" 2>"$out_dir/export.err" || status=$?
    [ "$status" -ne 0 ] && grep -q "missing.sqlite" "$out_dir/export.err" || fail "missing database: status $status"
    [ ! -e "$dir/missing.csv" ] && [ ! -e "$dir/missing.sqlite" ] || fail "a failed export left files behind"
    rm "$out_dir/export.err"
fi

# --- the router simulator with fixed figures ---
lw_router_script "$out_dir/router.txt"
"$simulator" --port 0 --script "$out_dir/router.txt" >"$out_dir/sim.out" 2>&1 &
sim_pid=$!
router_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"

# start NAME [EXTRA]: linewatchd with a settings file of its own (etc/NAME/linewatch.ini) for the
# simulator and a free web port (in web_port); standard error in NAME.err.
start() {
    local name=$1
    web_port=$(lw_pick_port) || fail "no free port"
    mkdir -p "$out_dir/etc/$name"
    lw_daemon_settings "$out_dir/etc/$name/linewatch.ini" "$router_port" "$web_port" "${2:-}"
    "$daemon" --config "$out_dir/etc/$name/linewatch.ini" >"$out_dir/$name.out" 2>"$out_dir/$name.err" &
    daemon_pid=$!
}

# stop SIGNAL NAME: the signal ends linewatchd promptly with status 0. It takes some tens of
# milliseconds; the bound, 5 s, is a hundred times that, so a busy machine passes, while an exit
# that waits for a time-out of its own (a thread, a network wait) still shows.
stop() {
    local signal=$1 name=$2 start_ns elapsed_ms status=0
    start_ns=$(date +%s%N)
    kill -"$signal" "$daemon_pid"
    while kill -0 "$daemon_pid" 2>/dev/null && [ $(($(date +%s%N) - start_ns)) -lt 30000000000 ]; do
        sleep 0.02
    done
    elapsed_ms=$((($(date +%s%N) - start_ns) / 1000000))
    kill -0 "$daemon_pid" 2>/dev/null && fail "$name: still running 30 s after SIG$signal"
    wait "$daemon_pid" || status=$?
    daemon_pid=""
    [ "$status" -eq 0 ] || fail "$name: exit status $status after SIG$signal"
    [ "$elapsed_ms" -le 5000 ] || fail "$name: SIG$signal took $elapsed_ms ms"
    echo "$name: SIG$signal ended linewatchd in $elapsed_ms ms"
    [ "$(tail -n 1 "$out_dir/$name.err")" = "<6>linewatchd: stopped" ] || fail "$name: no last log line"
}

# wait_log NAME TEXT: TEXT appears in NAME.err within 10 s while linewatchd runs.
wait_log() {
    for _ in $(seq 1 100); do
        grep -qF -- "$2" "$out_dir/$1.err" && return 0
        kill -0 "$daemon_pid" 2>/dev/null || fail "$1: linewatchd ended waiting for '$2'"
        sleep 0.1
    done
    fail "$1: no '$2' in the log"
}

# --- SIGHUP reloads the settings file: the process lives on, an alert setting and the page's auto
# refresh change, the web server moves to its new port; a file broken meanwhile keeps the running
# settings ---
start interrupted 'WebAutoRefreshSeconds=10\r\n'
lw_wait_status_screen "$web_port" "$daemon_pid" "$out_dir/status.json"
settings="$out_dir/etc/interrupted/linewatch.ini"
old_port=$web_port
web_port=$(lw_pick_port) || fail "no free port"
sed -i "s/^WebAutoRefreshSeconds=10\r\$/WebAutoRefreshSeconds=7\r/; s/^WebPort=$old_port\r\$/WebPort=$web_port\r/" "$settings"
printf '[Alerts]\r\nConnection=0\r\n' >>"$settings"
kill -HUP "$daemon_pid"
wait_log interrupted "<6>linewatchd: reloaded $settings"
lw_port_free "$old_port" || fail "reload: the old web port still listens"
lw_http_get "$web_port" / "$out_dir/page.html" || fail "reload: no page"
grep -qF '<meta http-equiv="REFRESH" content="7">' "$out_dir/page.html" || fail "reload: the refresh did not change"
cp "$settings" "$out_dir/reloaded.ini"
head -c 2048 /dev/urandom | tr -d '[' >"$settings"
kill -HUP "$daemon_pid"
wait_log interrupted "<3>linewatchd: not reloaded, keeping the running settings: $settings holds none"
lw_http_get "$web_port" / "$out_dir/page.html" || fail "broken reload: no page"
grep -qF '<meta http-equiv="REFRESH" content="7">' "$out_dir/page.html" || fail "broken reload: settings lost"
cp "$out_dir/reloaded.ini" "$settings"
stop INT interrupted

# --- --web.listen-address: the exporters' flag switches the web server on where it says, over
# the file's Web, WebPort and BindAddress (the relay keeps the file's) ---
listen_port=$(lw_pick_port) || fail "no free port"
mkdir -p "$out_dir/etc/listen"
lw_daemon_settings "$out_dir/etc/listen/linewatch.ini" "$router_port" "$listen_port"
sed -i 's/^Web=1\r$/Web=0\r/; s/^WebPort=.*\r$/WebPort=1\r/; s/^BindAddress=127.0.0.1\r$/BindAddress=127.0.0.2\r/' "$out_dir/etc/listen/linewatch.ini"
"$daemon" --config "$out_dir/etc/listen/linewatch.ini" --web.listen-address "127.0.0.1:$listen_port" \
    >"$out_dir/listen.out" 2>"$out_dir/listen.err" &
daemon_pid=$!
lw_wait_status_screen "$listen_port" "$daemon_pid" "$out_dir/status.json"
[ "$(lw_http_get "$listen_port" /metrics "$out_dir/listen.metrics" && lw_http_status "$out_dir/listen.metrics")" = \
    "HTTP/1.0 200 OK" ] || fail "--web.listen-address: no /metrics on $listen_port"
stop TERM listen

# --- a bad value: logged as a warning, its default used, the service runs ---
start service 'TelnetPort=abc\r\n'
settings="$out_dir/etc/service/linewatch.ini"
cp -p "$settings" "$out_dir/settings.copy"
settings_stat=$(stat -c '%a %s %y' "$settings")
lw_wait_status_screen "$web_port" "$daemon_pid" "$out_dir/status.json"
grep -qxF "<4>linewatchd: bad value 'abc' for [RemoteAdmin] TelnetPort; using 23" "$out_dir/service.err" ||
    fail "the bad value was not logged as a warning"
grep -qxF "<6>linewatchd: connected to the router at 127.0.0.1:$router_port" "$out_dir/service.err" ||
    fail "the connection was not logged"

# --- /status.json: the simulator's figures ---
answer="$out_dir/status.json"
[ "$(lw_http_status "$answer")" = "HTTP/1.0 200 OK" ] || fail "/status.json: $(lw_http_status "$answer")"
lw_http_has_header "$answer" "Content-Type: application/json" || fail "/status.json: content type"
body=$(lw_http_body "$answer")
for expected in \
    '"connection":{"state":"status_screen","router_connected":true,' \
    "{\"name\":\"B1\",\"link\":\"$LW_B1_LINK\",\"state\":\"data\",\"speed_kbps\":64,\"tx\":$LW_B1_TX,\"rx\":$LW_B1_RX,\"errors\":$LW_B1_ERRORS,\"clu\":$LW_B1_CLU,\"alu\":$LW_B1_ALU," \
    "\"router\":{\"name\":\"$LW_ROUTER_NAME\"," \
    "\"version\":\"$version\""; do
    [[ $body == *"$expected"* ]] || fail "/status.json lacks $expected: $body"
done

# --- /metrics, the page and a 404 ---
lw_http_get "$web_port" /metrics "$answer" || fail "/metrics: no answer"
[ "$(lw_http_status "$answer")" = "HTTP/1.0 200 OK" ] || fail "/metrics: $(lw_http_status "$answer")"
lw_http_has_header "$answer" "Content-Type: text/plain; version=0.0.4; charset=utf-8" || fail "/metrics: content type"
body=$(lw_http_body "$answer")
for expected in "linewatch_up 1" "linewatch_router_connected 1" \
    "linewatch_channel_line_usage_ratio{channel=\"B1\"} $LW_B1_CLU_RATIO" \
    "linewatch_calls_total{channel=\"B2\",kind=\"voice\",direction=\"incoming\"} 0" \
    "linewatch_channel_transmitted_packets_total{channel=\"B1\"} $LW_B1_TX"; do
    grep -qxF "$expected" <<<"$body" || fail "/metrics lacks '$expected'"
done
grep -qE '^process_resident_memory_bytes [1-9][0-9]*$' <<<"$body" || fail "/metrics lacks the process's figures"
grep -q "^linewatch_router_info{name=\"$LW_ROUTER_NAME\"," <<<"$body" || fail "/metrics lacks the router's name"
# HEAD: the GET answer's head, Content-Length and all, and no body; POST: 405.
METHOD=HEAD lw_http_get "$web_port" /status.json "$answer" || fail "HEAD /status.json: no answer"
[ "$(lw_http_status "$answer")" = "HTTP/1.0 200 OK" ] || fail "HEAD /status.json: $(lw_http_status "$answer")"
[ -z "$(lw_http_body "$answer")" ] || fail "HEAD /status.json: a body"
METHOD=HEAD lw_http_get "$web_port" /metrics "$answer" || fail "HEAD /metrics: no answer"
grep -qE $'^Content-Length: [1-9][0-9]*\r$' "$answer" || fail "HEAD /metrics: no Content-Length"
[ -z "$(lw_http_body "$answer")" ] || fail "HEAD /metrics: a body"
METHOD=POST lw_http_get "$web_port" /metrics "$answer" || fail "POST /metrics: no answer"
[ "$(lw_http_status "$answer")" = "HTTP/1.0 405 Method Not Allowed" ] || fail "POST /metrics: $(lw_http_status "$answer")"
lw_http_has_header "$answer" "Allow: GET, HEAD" || fail "POST /metrics: no Allow"
lw_http_get "$web_port" / "$answer" || fail "/: no answer"
[ "$(lw_http_status "$answer")" = "HTTP/1.0 200 OK" ] || fail "/: $(lw_http_status "$answer")"
[[ $(lw_http_body "$answer") == '<html>'* ]] || fail "/: not the HTML page"
[[ $(lw_http_body "$answer") == *"Router Monitor $version</a>"* ]] || fail "/: the footer lacks version $version"
lw_http_get "$web_port" /nothing "$answer" || fail "/nothing: no answer"
[ "$(lw_http_status "$answer")" = "HTTP/1.0 404 Not Found" ] || fail "/nothing: $(lw_http_status "$answer")"

# --- [Network] BindAddress=127.0.0.1: the web port listens there and nowhere else ---
hex_port=$(printf '%04X' "$web_port")
listening=$(awk -v port=":$hex_port" '$4 == "0A" && substr($2, length($2) - 4) == port { print $2 }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null)
[ "$listening" = "0100007F:$hex_port" ] || fail "the web port listens on: $listening"

# --- the router hangs up: linewatchd lives on, with the figures reset ---
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
hung_up=""
for _ in $(seq 1 150); do
    if lw_http_get "$web_port" /status.json "$answer" && grep -qF '"state":"not_connected"' "$answer"; then
        hung_up=1
        break
    fi
    kill -0 "$daemon_pid" 2>/dev/null || fail "linewatchd ended when the router hung up"
    sleep 0.2
done
[ -n "$hung_up" ] || fail "/status.json never said not_connected after the hang-up"
grep -qF '{"name":"B1","link":"No Data",' "$answer" || fail "B1's figures outlived the connection"
lw_http_get "$web_port" /metrics "$answer" || fail "/metrics after the hang-up: no answer"
grep -qxF "linewatch_up 0" "$answer" || fail "linewatch_up outlived the connection"
grep -q "^linewatch_router_info{name=\"$LW_ROUTER_NAME\"," "$answer" || fail "the router's info series lost its name"
! grep -q "No Data" "$answer" || fail "/metrics names 'No Data'"
grep -qxF "<5>linewatchd: the connection to the router at 127.0.0.1:$router_port ended" "$out_dir/service.err" ||
    fail "the hang-up was not logged"
# The alert, as a notice line of its own (it is retried by itself; only a rejected password is a
# warning) and no desktop bubble.
grep -qE "^<5>linewatchd: alert connection-lost: .+" "$out_dir/service.err" || fail "the lost connection raised no alert line"
sleep 1
kill -0 "$daemon_pid" 2>/dev/null || fail "linewatchd ended after the hang-up"

# --- SIGTERM; the settings file and its directory untouched ---
stop TERM service
cmp "$settings" "$out_dir/settings.copy" || fail "the settings file changed"
[ "$(stat -c '%a %s %y' "$settings")" = "$settings_stat" ] || fail "the settings file was rewritten"
[ "$(ls -A "$out_dir/etc/service")" = "linewatch.ini" ] || fail "files beside the settings: $(ls -A "$out_dir/etc/service")"
# Three settings files (service, interrupted, listen), three histories: each daemon's calls and
# sessions in a file of its own.
histories=$(find "$XDG_DATA_HOME/linewatch" -name 'history-linewatch-*.sqlite' | wc -l)
[ "$histories" -eq 3 ] || fail "three settings files wrote $histories histories"
[ ! -e "$XDG_DATA_HOME/linewatch/history.sqlite" ] || fail "a settings file of its own wrote history.sqlite"
# One line per event, each with its priority, nothing else (journald reads the prefix).
! grep -vE '^<[0-7]>linewatchd: [^[:cntrl:]]*$' "$out_dir/service.err" || fail "a log line without priority"

echo "daemon check passed"
