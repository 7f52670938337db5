#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# linewatchd over MQTT when the broker misbehaves, with real Mosquitto brokers on 127.0.0.1: a TLS
# listener whose certificate our CAFile did not sign (said once, clearly, and tried again), a broker
# that restarts (linewatchd comes back and publishes its discovery and state again, the broker
# having kept nothing), and a client flooding the command topics (a bounded log, at most the
# commands the rate lets through, and a web port that keeps answering).
# Usage: mqtt_faults_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
# Exits 77 (skipped) without Debian's mosquitto and mosquitto-clients, or without openssl.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$1
simulator=$2
out=$3

for tool in mosquitto mosquitto_sub mosquitto_pub openssl; do
    if ! command -v "$tool" >/dev/null && [ ! -x "/usr/sbin/$tool" ]; then
        echo "$tool not installed: install Debian's mosquitto, mosquitto-clients and openssl"
        exit 77
    fi
done
PATH=$PATH:/usr/sbin

# shellcheck source=SCRIPTDIR/daemonlib.sh
. "$(dirname "$0")/daemonlib.sh"
# shellcheck source=SCRIPTDIR/mqttlib.sh
. "$(dirname "$0")/mqttlib.sh"
mqtt_begin "mqtt faults"
mkdir -p "$out/good" "$out/wrong"

# count PATTERN FILE: lines of FILE matching PATTERN.
count() {
    grep -c -- "$1" "$2" || true
}

# --- TLS with a CA that did not sign the broker's certificate ---
lw_make_certificates "$out/good"
lw_make_certificates "$out/wrong"
start_broker "allow_anonymous true
cafile $out/good/ca.pem
certfile $out/good/server.pem
keyfile $out/good/server.key"
web_port=$(lw_pick_port) || fail "no free port"
settings "$out/tls.ini" "$web_port" "TLS=1\r\nCAFile=$out/wrong/ca.pem\r\nClientId=lw-tls\r\n"
"$daemon" --config "$out/tls.ini" 2>"$out/tls.err" &
tls_pid=$!
pids+=("$tls_pid")
# The back-off tries again after about 1, 2 and 4 s: three refused handshakes at the broker.
for _ in $(seq 1 300); do
    [ "$(count "unknown ca" "$out/broker.log")" -ge 3 ] && break
    sleep 0.1
done
[ "$(count "unknown ca" "$out/broker.log")" -ge 3 ] || fail "the TLS broker was not tried again"
said=$(count "TLS handshake with the MQTT broker" "$out/tls.err")
[ "$said" -eq 1 ] || fail "the TLS failure was said $said times, not once"
grep -q "not signed by \[MQTT\] CAFile '$out/wrong/ca.pem'" "$out/tls.err" || fail "the TLS failure names no CAFile"
kill "$tls_pid" "$broker_pid"
lw_wait_gone "$broker_pid" 50 || fail "the TLS broker did not stop"
: >"$out/broker.log"

# --- a broker that restarts, keeping nothing ---
start_broker "allow_anonymous true"
web_port=$(lw_pick_port) || fail "no free port"
settings "$out/restart.ini" "$web_port" 'AllowCommands=1\r\n'
"$daemon" --config "$out/restart.ini" 2>"$out/restart.err" &
daemon_pid=$!
pids+=("$daemon_pid")
lw_wait_status_screen "$web_port" "$daemon_pid" "$out/status.json"
wait_value "$prefix/b1/in_call" ON
port=$broker_port
kill "$broker_pid"
lw_wait_gone "$broker_pid" 50 || fail "the broker did not stop"
start_broker "allow_anonymous true" "$port"
# The new broker holds no retained message: whatever arrives, linewatchd published again.
wait_value "$prefix/availability" online
wait_value "$prefix/b1/in_call" ON
wait_value "$prefix/b1/packets_sent" "$LW_B1_TX"
sub "homeassistant/binary_sensor/linewatch_127_0_0_1/router_connected/config" 1 | grep -q '"device_class":"connectivity"' ||
    fail "the discovery was not published again after the broker restarted"

# --- a client flooding the command topics (AllowCommands=1 on the same monitor) ---
lines_before=$(wc -l <"$out/restart.err")
drops_before=$(count "command drop-b1" "$out/sim.out")
started=$(date +%s)
seq 1 3000 | sed "s/.*/PRESS/" | mosquitto_pub -h 127.0.0.1 -p "$broker_port" -t "$prefix/command/drop_b1" -q 1 -l
seq 1 2000 | sed "s/.*/garbage/" | mosquitto_pub -h 127.0.0.1 -p "$broker_port" -t "$prefix/command/connect" -q 1 -l
# The monitor answers its web port during the flood's aftermath and is still on the status screen.
lw_wait_status_screen "$web_port" "$daemon_pid" "$out/status.json"
# The broker has handed everything over once mosquitto_pub returned; the monitor reads on.
sleep 2
elapsed=$(($(date +%s) - started + 2))
drops=$(($(count "command drop-b1" "$out/sim.out") - drops_before))
# A burst of 5 and 1 a second: never more than that reaches the router.
[ "$drops" -le $((5 + elapsed)) ] || fail "$drops drops reached the router in $elapsed s"
[ "$drops" -ge 1 ] || fail "no command of the flood was carried out"
lines=$(($(wc -l <"$out/restart.err") - lines_before))
# 5000 messages: the log says a bounded number of lines (the peers' log budget), not thousands.
[ "$lines" -le 200 ] || fail "the flood wrote $lines log lines"
[ "$(count "undocumented payload" "$out/restart.err")" -le 1 ] || fail "the bad payload was said more than once"
kill -0 "$daemon_pid" || fail "linewatchd ended during the flood"

echo "mqtt faults check passed"
