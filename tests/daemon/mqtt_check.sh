#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# linewatchd over MQTT with a real Mosquitto broker on 127.0.0.1, configured from files in the
# output folder. First an anonymous broker: the discovery documents are JSON with the promised
# keys, the state topics carry the simulator's figures, a command is ignored while AllowCommands=0,
# and the broker publishes "offline" when linewatchd is killed with SIGKILL. Then a broker with a
# password file: the password from [MQTT] PasswordFile, a command that drops B1 at the simulator,
# and a wrong password said once while the broker is tried again.
# Usage: mqtt_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
# Exits 77 (skipped) without Debian's mosquitto and mosquitto-clients, or without python3.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$1
simulator=$2
out=$3

for tool in mosquitto mosquitto_sub mosquitto_pub mosquitto_passwd python3; do
    if ! command -v "$tool" >/dev/null && [ ! -x "/usr/sbin/$tool" ]; then
        echo "$tool not installed: install Debian's mosquitto and mosquitto-clients (tools/install-and-test.sh does)"
        exit 77
    fi
done
PATH=$PATH:/usr/sbin

# shellcheck source=SCRIPTDIR/daemonlib.sh
. "$(dirname "$0")/daemonlib.sh"
# shellcheck source=SCRIPTDIR/mqttlib.sh
. "$(dirname "$0")/mqttlib.sh"
mqtt_begin mqtt

# --- an anonymous broker, commands off ---
start_broker "allow_anonymous true"
web_port=$(lw_pick_port) || fail "no free port"
settings "$out/linewatch.ini" "$web_port" 'AllowCommands=0\r\n'
"$daemon" --config "$out/linewatch.ini" 2>"$out/linewatchd.err" &
daemon_pid=$!
pids+=("$daemon_pid")
lw_wait_status_screen "$web_port" "$daemon_pid" "$out/status.json"

# Every discovery document: valid JSON (Python's strict reader) with the keys Home Assistant
# needs, naming our availability topic; no command entity while commands are off.
wait_value "$prefix/router/name" "$LW_ROUTER_NAME"
sub 'homeassistant/#' 27 -v >"$out/discovery.txt"
python3 - "$out/discovery.txt" "$prefix" <<'EOF' || fail "the discovery documents"
import json, sys
lines = [l.rstrip("\n") for l in open(sys.argv[1], encoding="utf-8") if l.strip()]
prefix = sys.argv[2]
seen = {}
for line in lines:
    topic, _, payload = line.partition(" ")
    parts = topic.split("/")
    assert len(parts) == 5 and parts[0] == "homeassistant" and parts[4] == "config", topic
    if not payload or payload == "(null)":
        seen[parts[3]] = None
        continue
    doc = json.loads(payload, parse_constant=lambda c: (_ for _ in ()).throw(ValueError(c)))
    for key in ("name", "unique_id", "availability_topic", "device"):
        assert key in doc, (topic, key)
    assert doc["availability_topic"] == prefix + "/availability", topic
    assert doc["device"]["model"] == "ISDN router" and doc["device"]["name"] == "office-gw", doc["device"]
    assert doc["device"].get("sw_version"), doc["device"]
    if parts[1] in ("sensor", "binary_sensor", "event"):
        assert doc["state_topic"].startswith(prefix + "/"), topic
    if "packets" in parts[3]:
        assert doc["state_class"] == "total_increasing", topic
    seen[parts[3]] = parts[1]
assert seen.get("router_connected") == "binary_sensor", seen
assert seen.get("b1_in_call") == "binary_sensor" and seen.get("b2_in_call") == "binary_sensor", seen
assert seen.get("b1_usage") == "sensor", seen
for command in ("drop_b1", "drop_b2", "drop_all", "reset_counters", "connect"):
    assert seen.get(command, "absent") in (None, "absent"), (command, seen.get(command))
EOF

# The state topics carry the simulator's figures.
wait_value "$prefix/availability" online
wait_value "$prefix/b1/packets_sent" "$LW_B1_TX"
wait_value "$prefix/b1/usage" "$LW_B1_CLU"
wait_value "$prefix/b1/in_call" ON
wait_value "$prefix/b2/in_call" OFF
wait_value "$prefix/connected" ON

# A command while AllowCommands=0: logged, never sent to the router.
mosquitto_pub -h 127.0.0.1 -p "$broker_port" -t "$prefix/command/drop_b1" -m PRESS -q 1
for _ in $(seq 1 100); do
    grep -q "drop_b1.*ignored: \[MQTT\] AllowCommands is off" "$out/linewatchd.err" && break
    sleep 0.1
done
grep -q "AllowCommands is off" "$out/linewatchd.err" || fail "the refused command was not logged"
grep -q "command drop-b1" "$out/sim.out" && fail "B1 was dropped with AllowCommands=0"

# SIGKILL: the broker publishes the last will.
kill -KILL "$daemon_pid"
wait_value "$prefix/availability" offline
kill "$broker_pid"
lw_wait_gone "$broker_pid" 50 || fail "the first broker did not stop"

# --- a broker with a password file; the password from PasswordFile; commands on ---
mosquitto_passwd -c -b "$out/passwd" monitor 'corr3ct horse' >/dev/null 2>&1 || fail "mosquitto_passwd"
chmod 0600 "$out/passwd"
start_broker "allow_anonymous false
password_file $out/passwd"
auth=(-u monitor -P 'corr3ct horse')
printf 'corr3ct horse\n' >"$out/mqtt-password"
web_port=$(lw_pick_port) || fail "no free port"
settings "$out/linewatch2.ini" "$web_port" 'User=monitor\r\nPasswordFile=mqtt-password\r\nAllowCommands=1\r\n'
"$daemon" --config "$out/linewatch2.ini" 2>"$out/linewatchd2.err" &
daemon_pid=$!
pids+=("$daemon_pid")
lw_wait_status_screen "$web_port" "$daemon_pid" "$out/status.json"
wait_value "$prefix/availability" online "${auth[@]}"
sub "homeassistant/button/linewatch_127_0_0_1/drop_b1/config" 1 "${auth[@]}" | grep -q '"payload_press":"PRESS"' ||
    fail "no Drop B1 button announced with AllowCommands=1"
mosquitto_pub -h 127.0.0.1 -p "$broker_port" "${auth[@]}" -t "$prefix/command/drop_b1" -m PRESS -q 1
for _ in $(seq 1 100); do
    grep -q "command drop-b1" "$out/sim.out" && break
    sleep 0.1
done
grep -q "command drop-b1" "$out/sim.out" || fail "the MQTT command did not drop B1"

# A wrong password: said once, while the broker is asked again on the back-off (1, 2, 4 s ...).
printf 'wrong\n' >"$out/wrong-password"
web_port=$(lw_pick_port) || fail "no free port"
settings "$out/linewatch3.ini" "$web_port" 'User=monitor\r\nPasswordFile=wrong-password\r\nClientId=lw-wrong\r\n'
refusals_before=$(grep -c "not authori[sz]ed" "$out/broker.log" || true)
"$daemon" --config "$out/linewatch3.ini" 2>"$out/linewatchd3.err" &
pids+=($!)
for _ in $(seq 1 300); do
    refusals=$(grep -c "not authori[sz]ed" "$out/broker.log" || true)
    [ "$((refusals - refusals_before))" -ge 3 ] && break
    sleep 0.1
done
[ "$((refusals - refusals_before))" -ge 3 ] || fail "the wrong password was not tried again ($refusals refusals)"
said=$(grep -c "refused the user name or password" "$out/linewatchd3.err" || true)
[ "$said" -eq 1 ] || fail "the wrong password was said $said times, not once"

echo "mqtt check passed"
