#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Router connections caused by telnet relay users: linewatchd against the router simulator, both on
# 127.0.0.1; USERS relay connections spread evenly over SECONDS, each left open until the next
# arrives; prints how many connections the simulator saw in the same time before the flood and
# during it. Usage: bench/relayflood.sh [BUILD_DIR] [USERS] [SECONDS] (default build-release 200 20).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-release}
users=${2:-200}
seconds=${3:-20}
. "$here/tools/lib.sh"
. "$here/tests/daemon/daemonlib.sh" # lw_pick_port

out=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$out"
}
trap cleanup EXIT

"$build/linewatch-routersim" --port 0 --seed 7 >"$out/sim.out" 2>&1 &
pids+=($!)
router_port=$(lw_wait_simulator "$out/sim.out")
relay_port=$(lw_pick_port)
# The simulator's password 1234 in its stored form; the relay on, the web server off.
printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\n[RemoteAdmin]\r\nTelnet=1\r\nTelnetPort=%s\r\nWeb=0\r\n[Network]\r\nBindAddress=127.0.0.1\r\n' \
    "$router_port" "$relay_port" >"$out/linewatch.ini"
XDG_DATA_HOME=$out XDG_STATE_HOME=$out "$build/linewatchd" --config "$out/linewatch.ini" >"$out/d.out" 2>"$out/d.err" &
pids+=($!)
for _ in $(seq 1 100); do lw_port_free "$relay_port" || break; sleep 0.1; done

connections() { grep -c ' connect ' "$out/sim.out" || true; }
before=$(connections)
sleep "$seconds"
quiet=$(($(connections) - before))

start=$(connections)
gap=$(awk -v s="$seconds" -v n="$users" 'BEGIN { printf "%.3f", s / n }')
exec 4>&-
for _ in $(seq 1 "$users"); do
    exec 4<>"/dev/tcp/127.0.0.1/$relay_port" || true
    sleep "$gap"
done
exec 4>&-
flood=$(($(connections) - start))
echo "linewatchd $build: $users relay connections in ${seconds} s made $flood router connections" \
    "($quiet in the ${seconds} s before)"
