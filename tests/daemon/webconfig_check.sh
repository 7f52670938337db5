#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# linewatchd with a web configuration file in the Prometheus exporter toolkit's format: TLS with a
# throw-away CA made here by `openssl` and a bcrypt password made by `htpasswd`. curl gets the page
# and /metrics over HTTPS with the right password, 401 without or with a wrong one, nothing over
# plain HTTP, TLS 1.1, with another CA or an expired certificate (swapped in on disk, as a renewal
# is); a handshake trickling in a byte a second holds nobody up; a broken file at start stops
# linewatchd, a broken file on
# SIGHUP keeps the running one; and a real Prometheus scrapes over HTTPS with basic_auth (its
# target down with a wrong password). Everything on 127.0.0.1.
# Usage: webconfig_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
# Exits 77 (skipped) where openssl, curl, htpasswd (apache2-utils) or prometheus are missing.
set -euo pipefail
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$1
simulator=$2
out_dir=$3
for tool in openssl curl htpasswd prometheus promtool; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool not installed: tools/install-and-test.sh installs openssl, curl, apache2-utils and prometheus"
        exit 77
    fi
done

rm -rf "$out_dir"
mkdir -p "$out_dir/home" "$out_dir/tsdb" "$out_dir/tls"
fail() {
    echo "web configuration check failed: $*" >&2
    for log in linewatchd.err prometheus.err; do
        [ -f "$out_dir/$log" ] && sed "s/^/$log: /" "$out_dir/$log" | tail -20 >&2
    done
    exit 1
}
. "$(dirname "$0")/daemonlib.sh"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do lw_wait_gone "$pid" 50 || kill -KILL "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
export LC_ALL=C HOME=$out_dir/home XDG_CONFIG_HOME=$out_dir/home/.config XDG_STATE_HOME=$out_dir/home/.local/state
export XDG_DATA_HOME=$out_dir/home/.local/share
unset STATE_DIRECTORY

# --- a CA, a server certificate for 127.0.0.1, another CA; a bcrypt password ---
tls=$out_dir/tls
lw_make_certificates "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/otherca.key" \
    -out "$tls/otherca.pem" -days 2 -subj /CN=otherca 2>/dev/null
hash=$(htpasswd -nbBC 10 scraper 's3cret pass' | cut -d: -f2)
write_config() {
    printf 'tls_server_config:\n  cert_file: tls/server.pem\n  key_file: tls/server.key\n' >"$out_dir/web.yml"
    printf 'basic_auth_users:\n  scraper: %s\n' "'$hash'" >>"$out_dir/web.yml"
}
write_config

# --- a broken file, or a key others may read, stops linewatchd at start ---
lw_daemon_settings "$out_dir/linewatch.ini" 1 "$(lw_pick_port)"
printf 'tls_server_config:\n  cert_file: tls/server.pem\n  kye_file: tls/server.key\n' >"$out_dir/broken.yml"
status=0
timeout 30 "$daemon" --config "$out_dir/linewatch.ini" --web.config.file "$out_dir/broken.yml" \
    2>"$out_dir/broken.err" || status=$?
[ "$status" -eq 1 ] || fail "a broken web configuration: exit status $status, not 1"
grep -q "line 3: unknown key 'kye_file'" "$out_dir/broken.err" || fail "the broken key and line were not named"
chmod 644 "$tls/server.key"
status=0
timeout 30 "$daemon" --config "$out_dir/linewatch.ini" --web.config.file "$out_dir/web.yml" \
    2>"$out_dir/openkey.err" || status=$?
[ "$status" -eq 1 ] || fail "a private key others may read: exit status $status, not 1"
grep -q "readable by others" "$out_dir/openkey.err" || fail "the open key was not named"
chmod 600 "$tls/server.key"

# --- the simulator and linewatchd over HTTPS ---
lw_router_script "$out_dir/router.txt"
"$simulator" --port 0 --script "$out_dir/router.txt" >"$out_dir/sim.out" 2>&1 &
pids+=($!)
router_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"
web_port=$(lw_pick_port) || fail "no free port"
lw_daemon_settings "$out_dir/linewatch.ini" "$router_port" "$web_port"
# The settings file names the web configuration, relative to its own folder.
sed -i 's/^BindAddress=127.0.0.1\r$/&\nWebConfigFile=web.yml\r/' "$out_dir/linewatch.ini"
grep -q '^WebConfigFile=web.yml' "$out_dir/linewatch.ini" || fail "the settings file was not written"
"$daemon" --config "$out_dir/linewatch.ini" 2>"$out_dir/linewatchd.err" &
daemon_pid=$!
pids+=("$daemon_pid")
url=https://127.0.0.1:$web_port
code() { curl -s -m 20 -o /dev/null -w '%{http_code}' "$@" || true; }
for _ in $(seq 1 120); do
    [ "$(code --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/status.json")" = 200 ] && break
    kill -0 "$daemon_pid" 2>/dev/null || fail "linewatchd ended"
    sleep 0.25
done
curl -s -m 20 --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/status.json" | grep -q '"state":"status_screen"' ||
    fail "/status.json over HTTPS never showed the status screen"
[ "$(code --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/")" = 200 ] || fail "the page with the password"
[ "$(code --cacert "$tls/ca.pem" "$url/metrics")" = 401 ] || fail "/metrics without a password was not 401"
[ "$(code --cacert "$tls/ca.pem" -u scraper:wrong "$url/")" = 401 ] || fail "a wrong password was not 401"
curl -s -m 20 -D - -o /dev/null --cacert "$tls/ca.pem" "$url/nothing" | grep -q '^WWW-Authenticate: Basic realm="linewatch"' ||
    fail "a 401 without WWW-Authenticate"
curl -s -m 20 -I --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/metrics" | grep -q '^HTTP/1.0 200 OK' ||
    fail "curl -I"
[ "$(code --cacert "$tls/otherca.pem" -u 'scraper:s3cret pass' "$url/")" = 000 ] || fail "another CA was trusted"
[ "$(code --tls-max 1.1 --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/")" = 000 ] || fail "TLS 1.1 was accepted"
[ "$(code "http://127.0.0.1:$web_port/")" = 000 ] || fail "plain HTTP got an answer on the TLS port"
# TLS 1.3 in the exporter toolkit's order: AES-128-GCM before OpenSSL's own first choice, AES-256.
openssl s_client -connect "127.0.0.1:$web_port" -CAfile "$tls/ca.pem" </dev/null 2>/dev/null |
    grep -q 'TLSv1.3, Cipher is TLS_AES_128_GCM_SHA256' || fail "TLS 1.3 did not choose AES-128-GCM"
! grep -q 's3cret' "$out_dir/linewatchd.err" || fail "a password reached the log"

# --- a client that sends its handshake a byte a second holds nobody else up ---
python3 - "$web_port" <<'PY' &
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
for b in b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03":
    try:
        s.send(bytes([b]))
    except OSError:
        break
    time.sleep(1)
PY
trickler=$!
pids+=("$trickler")
sleep 1
[ "$(code --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/")" = 200 ] || fail "a trickling handshake held the page up"

# --- a certificate swapped on disk is used at the next connection: an expired one is refused ---
cp "$tls/server.pem" "$tls/good.pem"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
    -out "$tls/expired.pem" -days 0 -extfile "$tls/ext" 2>/dev/null
sleep 1.1
cp "$tls/expired.pem" "$tls/server.pem"
[ "$(code --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/")" = 000 ] || fail "an expired certificate was accepted"
cp "$tls/good.pem" "$tls/server.pem"
touch "$tls/server.pem"
[ "$(code --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/")" = 200 ] || fail "the renewed certificate was not used"

# --- a broken file on SIGHUP: the running configuration stays, the log says why ---
printf 'basic_auth_users: [\n' >"$out_dir/web.yml"
kill -HUP "$daemon_pid"
for _ in $(seq 1 80); do grep -q "web configuration not reloaded" "$out_dir/linewatchd.err" && break; sleep 0.25; done
grep -q "web configuration not reloaded" "$out_dir/linewatchd.err" || fail "a broken reload was not logged"
[ "$(code --cacert "$tls/ca.pem" -u 'scraper:s3cret pass' "$url/")" = 200 ] || fail "the old configuration was lost"
[ "$(code --cacert "$tls/ca.pem" "$url/")" = 401 ] || fail "a broken file opened the port without a password"
write_config

# --- a real Prometheus over HTTPS with basic_auth: up with the password, 401 without it ---
cat >"$out_dir/prometheus.yml" <<EOF2
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1m
scrape_configs:
  - job_name: linewatch
    scheme: https
    tls_config:
      ca_file: $tls/ca.pem
    basic_auth:
      username: scraper
      password: 's3cret pass'
    static_configs:
      - targets: ['127.0.0.1:$web_port']
  - job_name: wrong
    scheme: https
    tls_config:
      ca_file: $tls/ca.pem
    basic_auth:
      username: scraper
      password: wrong
    static_configs:
      - targets: ['127.0.0.1:$web_port']
EOF2
lw_start_prometheus "$out_dir"
pids+=("$prometheus_pid")
targets() { curl -s -m 10 "http://127.0.0.1:$prometheus_port/api/v1/targets" || true; }
for _ in $(seq 1 120); do
    t=$(targets)
    if grep -q '"job":"linewatch".*"health":"up"\|"health":"up".*"job":"linewatch"' <<<"$t" &&
        grep -q '401 Unauthorized' <<<"$t"; then
        break
    fi
    sleep 0.5
done
value=$(curl -s -m 10 "http://127.0.0.1:$prometheus_port/api/v1/query?query=linewatch_up%7Bjob%3D%22linewatch%22%7D")
grep -q '"value":\[[^,]*,"1"\]' <<<"$value" || fail "Prometheus over HTTPS did not get linewatch_up 1: $value"
wrong=$(curl -s -m 10 "http://127.0.0.1:$prometheus_port/api/v1/query?query=up%7Bjob%3D%22wrong%22%7D")
grep -q '"value":\[[^,]*,"0"\]' <<<"$wrong" || fail "the wrong password's target is not down: $wrong"
grep -q '401 Unauthorized' <<<"$(targets)" || fail "the wrong password's target does not say 401"
echo "web configuration check passed"
