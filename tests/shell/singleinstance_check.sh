#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One monitor per settings file, on the real program (offscreen): a second start with the same
# settings ends at once with status 0 while the first runs on, and only the first logs in to the
# router; another settings file makes another monitor; a socket file left by a killed monitor
# does not stop the next one. Everything stays on 127.0.0.1.
# Usage: singleinstance_check.sh PROGRAM SIMULATOR OUTPUT_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

program=$1
simulator=$2
out_dir=$3

rm -rf "$out_dir"
mkdir -p "$out_dir/run"
chmod 700 "$out_dir/run"
# A runtime directory of the test's own, so a monitor the user runs is never asked anything.
# The call history goes to the scratch directory too, not the user's data folder.
export XDG_RUNTIME_DIR="$out_dir/run" XDG_DATA_HOME="$out_dir/data" LC_ALL=C QT_QPA_PLATFORM=offscreen

fail() {
    echo "single-instance check failed: $*" >&2
    for log in "$out_dir"/*.err "$out_dir"/sim.out; do
        [ -f "$log" ] && sed "s|^|$(basename "$log"): |" "$log" | tail -20 >&2
    done
    exit 1
}

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

"$simulator" --port 0 >"$out_dir/sim.out" 2>"$out_dir/sim.err" &
pids+=($!)
sim_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"
settings="[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=$sim_port\r\n[Startup]\r\nConnectAtStartup=1\r\n"

connections() {
    grep -c ' connect ' "$out_dir/sim.out" || true
}

# wait_connections N: the simulator has seen N connections (waiting up to 30 s: a start on a busy
# machine).
wait_connections() {
    for _ in $(seq 1 300); do
        [ "$(connections)" -ge "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# start NAME ARGS...: runs the program from $dir in the background; its pid in $started.
start() {
    local name=$1
    shift
    "$dir/linewatch" "$@" >"$out_dir/$name.out" 2>"$out_dir/$name.err" &
    started=$!
    pids+=("$started")
}

dir="$out_dir/first"
mkdir -p "$dir"
cp "$program" "$dir/linewatch"
printf '%b' "$settings" >"$dir/linewatch.ini"

start first
first=$started
wait_connections 1 || fail "the first monitor never connected"

# The same settings file: the second start ends by itself with status 0 and connects nowhere. It
# takes a fraction of a second; 30 s is for a busy machine.
start second
second=$started
lw_wait_gone "$second" 300 || fail "the second start still runs after 30 s"
status=0
wait "$second" || status=$?
[ "$status" -eq 0 ] || fail "the second start ended with status $status"
! grep -q 'did not confirm' "$out_dir/second.err" || fail "the first monitor did not answer the second start"
[ -z "$(find "$out_dir/run" -type s -perm /077)" ] || fail "other users may use the single-instance socket"
kill -0 "$first" 2>/dev/null || fail "the first monitor ended"
sleep 1
[ "$(connections)" -eq 1 ] || fail "$(connections) connections reached the router, expected 1"

# Another settings file is another monitor, and it logs in too.
printf '%b' "$settings" >"$dir/other.ini"
start other --config "$dir/other.ini"
other=$started
wait_connections 2 || fail "the monitor of another settings file never connected"
kill -0 "$other" 2>/dev/null || fail "the monitor of another settings file ended"
kill -TERM "$other"
lw_wait_gone "$other" 300 || fail "the other monitor did not end"

# A monitor that crashed leaves its socket file; the next start takes over.
kill -KILL "$first"
lw_wait_gone "$first" 300 || fail "the first monitor survived SIGKILL"
[ -n "$(find "$out_dir/run" -type s)" ] || fail "no socket file was left to test the takeover"
start after-crash
after=$started
wait_connections 3 || fail "the start after a crash never connected"
kill -0 "$after" 2>/dev/null || fail "the start after a crash ended"
kill -TERM "$after"
lw_wait_gone "$after" 300 || fail "the start after a crash did not end"

echo "single-instance check passed"
