#!/usr/bin/env bash
# SIGTERM ends the real program (offscreen) as the tray menu's Exit does, settings saved and exit
# status 0: once it is up, and while an error box raised during start-up waits for a click that
# never comes. Everything stays on 127.0.0.1.
# Usage: termination_check.sh PROGRAM SIMULATOR OUTPUT_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

program=$1
simulator=$2
out_dir=$3

rm -rf "$out_dir"
mkdir -p "$out_dir"

fail() {
    echo "termination check failed: $*" >&2
    for log in "$out_dir"/*.err; do
        [ -f "$log" ] && sed "s|^|$(basename "$log"): |" "$log" | tail -20 >&2
    done
    exit 1
}

sim_pid=""
program_pid=""
cleanup() {
    [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
}
trap cleanup EXIT

# The simulator only holds a port on 127.0.0.1 that the web server then cannot have.
"$simulator" --port 0 >"$out_dir/sim.out" 2>"$out_dir/sim.err" &
sim_pid=$!
taken_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"

# run NAME SETTINGS WAIT_FOR: starts a copy of the program beside SETTINGS (its linewatch.ini),
# waits until its standard error holds WAIT_FOR (or two seconds when empty), sends SIGTERM and
# expects a prompt exit with status 0 and a saved settings file.
run() {
    local name=$1 settings=$2 wait_for=$3
    local dir="$out_dir/$name"
    mkdir -p "$dir"
    cp "$program" "$dir/linewatch"
    printf '%b' "$settings" >"$dir/linewatch.ini"
    LC_ALL=C QT_QPA_PLATFORM=offscreen "$dir/linewatch" >"$out_dir/$name.out" 2>"$out_dir/$name.err" &
    program_pid=$!
    if [ -n "$wait_for" ]; then
        local seen=""
        for _ in $(seq 1 100); do
            grep -q "$wait_for" "$out_dir/$name.err" && seen=1 && break
            sleep 0.1
        done
        [ -n "$seen" ] || fail "$name: never reported '$wait_for'"
        sleep 0.5 # the box is open now
    else
        sleep 2
    fi
    kill -0 "$program_pid" 2>/dev/null || fail "$name: ended before the signal"
    kill -TERM "$program_pid"
    lw_wait_gone "$program_pid" || fail "$name: still running 10 s after SIGTERM"
    local status=0
    wait "$program_pid" || status=$?
    program_pid=""
    [ "$status" -eq 0 ] || fail "$name: exit status $status"
    grep -q $'^B2ALUBackgroundColor=0\r$' "$dir/linewatch.ini" || fail "$name: settings not saved"
}

run running '[Connection]\r\nTelnetAddress=127.0.0.1\r\n' ""
# The web port is taken: loading the settings opens an error box before the window is shown.
run startup-error-box "[RemoteAdmin]\r\nWebPort=$taken_port\r\nWeb=1\r\n" "on API 'bind'"
grep -q $'^WebPort='"$taken_port"$'\r$' "$out_dir/startup-error-box/linewatch.ini" || fail "web port not kept"

echo "termination check passed"
