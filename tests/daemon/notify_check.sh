#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# linewatchd under a stand-in service manager: a Unix datagram socket named in NOTIFY_SOCKET
# receives READY=1 only once the web port accepts, STATUS= lines that follow the router session,
# WATCHDOG=1 again and again with WATCHDOG_USEC set, and STOPPING=1 at SIGTERM. Its standard error
# is named in JOURNAL_STREAM as journald names it: where journald runs, the lines are in the
# journal with their fields; elsewhere they are the "<N>" lines on standard error as without it,
# and, run as root, a stand-in journal socket in a private mount namespace receives the fields.
# Everything stays on 127.0.0.1.
# Usage: notify_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$(realpath "$1")
simulator=$2
out_dir=$3

# shellcheck source=SCRIPTDIR/daemonlib.sh
. "$(dirname "$0")/daemonlib.sh"

command -v python3 >/dev/null || { echo "SKIP: python3 not installed"; exit 77; }

lw_check_begin notify "$out_dir"
unset WATCHDOG_PID

# The manager's end: one line per datagram, in the order they came.
socket=$out_dir/notify.sock
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a") as log:
    print("bound", file=log, flush=True)
    while True:
        log.write(s.recv(4096).decode().replace("\n", "|") + "\n")
        log.flush()
' "$socket" "$out_dir/notify.log" &
pids+=($!)
for _ in $(seq 1 100); do grep -qx bound "$out_dir/notify.log" 2>/dev/null && break; sleep 0.1; done
grep -qx bound "$out_dir/notify.log" || fail "the notification socket never bound"

lw_router_script "$out_dir/router.txt"
"$simulator" --port 0 --script "$out_dir/router.txt" >"$out_dir/sim.out" 2>&1 &
pids+=($!)
router_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"
web_port=$(lw_pick_port) || fail "no free port"
lw_daemon_settings "$out_dir/settings.ini" "$router_port" "$web_port"

: >"$out_dir/daemon.err"
journal_stream=$(stat -c '%d:%i' "$out_dir/daemon.err")
NOTIFY_SOCKET=$socket WATCHDOG_USEC=400000 JOURNAL_STREAM=$journal_stream \
    "$daemon" --config "$out_dir/settings.ini" 2>>"$out_dir/daemon.err" &
daemon_pid=$!
pids+=("$daemon_pid")

# READY=1 says the port listens: it must accept at once.
for _ in $(seq 1 600); do
    grep -qx 'READY=1' "$out_dir/notify.log" && break
    kill -0 "$daemon_pid" 2>/dev/null || fail "linewatchd ended before READY=1"
    sleep 0.1
done
grep -qx 'READY=1' "$out_dir/notify.log" || fail "no READY=1"
! lw_port_free "$web_port" || fail "READY=1 came before the web port listened"

lw_wait_status_screen "$web_port" "$daemon_pid" "$out_dir/status.json"
for _ in $(seq 1 300); do
    grep -qx 'STATUS=status screen live, 0 calls today' "$out_dir/notify.log" &&
        [ "$(grep -cx 'WATCHDOG=1' "$out_dir/notify.log")" -ge 3 ] && break
    sleep 0.1
done
grep -qx 'STATUS=status screen live, 0 calls today' "$out_dir/notify.log" || fail "no STATUS= for the status screen"
grep -qx "STATUS=connecting to the router at 127.0.0.1:$router_port, 0 calls today" "$out_dir/notify.log" ||
    fail "no STATUS= while connecting"
[ "$(grep -cx 'WATCHDOG=1' "$out_dir/notify.log")" -ge 3 ] || fail "fewer than three WATCHDOG=1"
# A state is sent when it changes, not once a tick.
[ "$(grep -cx 'STATUS=status screen live, 0 calls today' "$out_dir/notify.log")" -eq 1 ] ||
    fail "the same STATUS= sent again"

kill -TERM "$daemon_pid"
lw_wait_gone "$daemon_pid" 300 || fail "linewatchd did not end on SIGTERM"
status=0
wait "$daemon_pid" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
# Sent before the exit, but the reader may not have written it yet.
for _ in $(seq 1 100); do grep -qx 'STOPPING=1' "$out_dir/notify.log" && break; sleep 0.1; done
order=$(grep -xE 'READY=1|STOPPING=1' "$out_dir/notify.log" | tr '\n' ' ')
[ "$order" = "READY=1 STOPPING=1 " ] || fail "READY=1 and STOPPING=1 came as: $order"

if [ -S /run/systemd/journal/socket ] && journalctl -n 0 >/dev/null 2>&1; then
    journalctl --sync 2>/dev/null || true
    entries=$(journalctl -o verbose "_PID=$daemon_pid" LINEWATCH_EVENT=connect 2>/dev/null) || true
    grep -qF "LINEWATCH_ROUTER=127.0.0.1:$router_port" <<<"$entries" ||
        echo "note: journald runs but this user cannot read linewatchd's entries; fields not checked"
    [ -z "$entries" ] || grep -qF 'PRIORITY=6' <<<"$entries" || fail "the connect entry has no PRIORITY=6"
else
    grep -qF "<6>linewatchd: connected to the router at 127.0.0.1:$router_port" "$out_dir/daemon.err" ||
        fail "without a journal the <N> lines left standard error"
    # Root may put a stand-in journal socket on a /run of its own (a private mount namespace):
    # the fields as journald would receive them.
    if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
        : >"$out_dir/journal.err"
        # shellcheck disable=SC2016 # the inner script expands its own arguments
        LW_STREAM=$(stat -c '%d:%i' "$out_dir/journal.err") unshare -m bash -c '
            mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal || exit 1
            python3 -c "
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(\"/run/systemd/journal/socket\")
print(\"bound\", flush=True)
while True:
    entry = s.recv(65536).decode()
    print(entry.replace(\"\\n\", \" \"), flush=True)
" >"$1/journal.log" &
            reader=$!
            for _ in $(seq 1 100); do grep -qx bound "$1/journal.log" && break; sleep 0.1; done
            JOURNAL_STREAM=$LW_STREAM "$2" --config "$1/settings.ini" 2>>"$1/journal.err" &
            daemon=$!
            for _ in $(seq 1 600); do grep -q "LINEWATCH_EVENT=connect" "$1/journal.log" && break; sleep 0.1; done
            kill -TERM "$daemon"
            wait "$daemon"
            kill "$reader"
        ' journal "$out_dir" "$daemon" || fail "the stand-in journal did not run"
        expected="MESSAGE=connected to the router at 127.0.0.1:$router_port PRIORITY=6 SYSLOG_IDENTIFIER=linewatchd"
        expected+=" LINEWATCH_ROUTER=127.0.0.1:$router_port LINEWATCH_EVENT=connect"
        grep -qF "$expected" "$out_dir/journal.log" || fail "no journal entry with the connect's fields"
        grep -qF "LINEWATCH_EVENT=stop" "$out_dir/journal.log" || fail "no journal entry for the stop"
        [ ! -s "$out_dir/journal.err" ] || fail "lines on standard error beside the journal"
    else
        echo "note: no journald here and not root; checked that the lines stay on standard error"
    fi
fi
echo "OK: READY=1 after the port listened, STATUS=, WATCHDOG=1, STOPPING=1"
