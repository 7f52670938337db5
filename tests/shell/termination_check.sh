#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SIGTERM, SIGINT and SIGHUP end the real program (offscreen) as the tray menu's Exit does,
# settings saved and exit status 0: once it is up, while an error box raised during start-up waits
# for a click that never comes, with standard error a pipe nobody reads, and while a silent session
# bus is asked to show an alert. A settings file that
# cannot be written ends it all the same, at once, with the reason logged and status 1.
# Everything stays on 127.0.0.1.
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
helper_pids=()
cleanup() {
    [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    for pid in "${helper_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

# The simulator only holds a port on 127.0.0.1 that the web server then cannot have.
"$simulator" --port 0 >"$out_dir/sim.out" 2>"$out_dir/sim.err" &
sim_pid=$!
taken_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"

# handles PID SIGNAL: true once process PID runs the program and has its handler for SIGNAL (the
# SigCgt mask; before the exec, the forked shell's own handlers show there).
handles() {
    local mask
    [ "$(cat "/proc/$1/comm" 2>/dev/null)" = linewatch ] || return 1
    mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$1/status" 2>/dev/null) || return 1
    [ -n "$mask" ] && (((16#$mask >> ($(kill -l "$2") - 1)) & 1))
}

# run NAME SETTINGS WAIT_FOR: starts a copy of the program beside SETTINGS (its linewatch.ini),
# waits until its standard error holds WAIT_FOR (or, when empty, until it handles the signal and
# a second and a half more, for the window to come up), sends SIGNAL (TERM) and expects an exit
# with status STATUS (0) and, for status 0, a saved settings file. The waits are counted in tenths
# of a second up to 30 s, far beyond what a start or an exit takes, so a busy machine passes too.
# STDERR=closed gives the program a standard error whose reader has gone; INI=dir makes its
# linewatch.ini a directory; CONFIG=NAME puts the settings in NAME and passes --config NAME.
run() {
    local name=$1 settings=$2 wait_for=$3
    local signal=${SIGNAL:-TERM} expected=${STATUS:-0}
    local dir="$out_dir/$name"
    mkdir -p "$dir"
    cp "$program" "$dir/linewatch"
    local ini="$dir/linewatch.ini" args=()
    if [ -n "${CONFIG:-}" ]; then
        ini="$dir/$CONFIG"
        mkdir -p "$(dirname "$ini")"
        args=(--config "$ini")
    fi
    if [ "${INI:-}" = dir ]; then
        mkdir -p "$ini"
    else
        printf '%b' "$settings" >"$ini"
    fi
    if [ "${STDERR:-}" = closed ]; then
        LC_ALL=C QT_QPA_PLATFORM=offscreen "$dir/linewatch" "${args[@]}" >"$out_dir/$name.out" 2> >(exec head -c 0) &
    else
        LC_ALL=C QT_QPA_PLATFORM=offscreen "$dir/linewatch" "${args[@]}" >"$out_dir/$name.out" 2>"$out_dir/$name.err" &
    fi
    program_pid=$!
    if [ -n "$wait_for" ]; then
        local seen=""
        for _ in $(seq 1 300); do
            grep -q "$wait_for" "$out_dir/$name.err" && seen=1 && break
            sleep 0.1
        done
        [ -n "$seen" ] || fail "$name: never reported '$wait_for'"
        sleep 0.5 # the box is open now
    else
        # A signal before the handler is installed would end the program by default, status 143.
        for _ in $(seq 1 300); do
            handles "$program_pid" "$signal" && break
            sleep 0.1
        done
        kill -0 "$program_pid" 2>/dev/null || fail "$name: ended before the signal"
        handles "$program_pid" "$signal" || fail "$name: never handled SIG$signal ($(grep ^Sig "/proc/$program_pid/status" | tr '\n' ' '))"
        sleep 1.5
    fi
    kill -0 "$program_pid" 2>/dev/null || fail "$name: ended before the signal"
    kill -"$signal" "$program_pid"
    lw_wait_gone "$program_pid" 300 || fail "$name: still running 30 s after SIG$signal"
    local status=0
    wait "$program_pid" || status=$?
    program_pid=""
    [ "$status" -eq "$expected" ] || fail "$name: exit status $status, expected $expected"
    if [ "$expected" -eq 0 ]; then
        grep -q $'^B2ALUBackgroundColor=0\r$' "$ini" || fail "$name: settings not saved"
    fi
}

run running '[Connection]\r\nTelnetAddress=127.0.0.1\r\n' ""
# The web port is taken: loading the settings opens an error box before the window is shown.
run startup-error-box "[RemoteAdmin]\r\nWebPort=$taken_port\r\nWeb=1\r\n" "listen on 0.0.0.0:$taken_port for the web page: address already in use"
grep -q $'^WebPort='"$taken_port"$'\r$' "$out_dir/startup-error-box/linewatch.ini" || fail "web port not kept"
SIGNAL=HUP run hangup '[Connection]\r\nTelnetAddress=127.0.0.1\r\n' ""
SIGNAL=INT run interrupt '[Connection]\r\nTelnetAddress=127.0.0.1\r\n' ""
# The bind error's line goes to a pipe nobody reads: the program must live on.
STDERR=closed run stderr-gone "[RemoteAdmin]\r\nWebPort=$taken_port\r\nWeb=1\r\n" ""
# Saving fails: no box waits for a click, the log says why, the status says it failed.
INI=dir STATUS=1 run unsaved "" ""
grep -q "Unable to write to .*linewatch.ini" "$out_dir/unsaved.err" || fail "unsaved: the failed save was not logged"
# --config: the settings live where the command line says, and nothing beside the program.
CONFIG=site/office.ini run config '[Connection]\r\nTelnetAddress=127.0.0.1\r\n' ""
[ ! -e "$out_dir/config/linewatch.ini" ] || fail "config: a linewatch.ini appeared beside the program"
# A session bus that takes connections and never answers: the alert of the router hanging up must
# not hang the window (Qt D-Bus waited for such a bus for minutes), and SIGTERM still ends it.
python3 -c '
import socket, sys
listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1])
listener.listen(8)
held = []
while True:
    held.append(listener.accept()[0])
    print("accepted", flush=True)
' "$out_dir/bus.socket" >"$out_dir/bus.out" 2>&1 &
helper_pids+=($!)
for _ in $(seq 1 100); do
    [ -S "$out_dir/bus.socket" ] && break
    sleep 0.1
done
"$simulator" --port 0 >"$out_dir/sim-hangup.out" 2>"$out_dir/sim-hangup.err" &
hangup_sim=$!
helper_pids+=("$hangup_sim")
hangup_port=$(lw_wait_simulator "$out_dir/sim-hangup.out") || fail "the second simulator did not start"
# The router hangs up once the monitor has logged in.
(
    for _ in $(seq 1 100); do
        grep -q 'login ok' "$out_dir/sim-hangup.out" && break
        sleep 0.1
    done
    kill "$hangup_sim"
) &
helper_pids+=($!)
DBUS_SESSION_BUS_ADDRESS="unix:path=$out_dir/bus.socket" run silent-bus \
    "[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=$hangup_port\r\n[Startup]\r\nConnectAtStartup=1\r\n" \
    "desktop notifications: .*: no answer"
grep -q accepted "$out_dir/bus.out" || fail "silent-bus: the bus was never asked"

# --help and --version print and end at once, without a display and without writing a file.
options="$out_dir/options"
mkdir -p "$options"
cp "$program" "$options/linewatch"
for option in --help --version; do
    (cd "$options" && env -u DISPLAY -u WAYLAND_DISPLAY HOME="$options/home" XDG_CONFIG_HOME="$options/home" \
        ./linewatch "$option" >"$options/out" 2>&1) || fail "$option: exit status $?"
    grep -q "linewatch" "$options/out" || fail "$option: printed nothing"
    [ "$(ls -A "$options")" = $'linewatch\nout' ] || fail "$option: wrote files: $(ls -A "$options")"
done

echo "termination check passed"
