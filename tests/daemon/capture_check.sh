#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# linewatchd --capture against the simulator: at SIGTERM the file is there, 0600, every line a
# chunk of the documented form, the router's status screen in it, the password the monitor typed
# nowhere in it but masked to its length. The capture played back by the simulator into a second
# linewatchd, which types another password, and read offline with --replay --status-json gives
# the same figures. Everything stays on 127.0.0.1.
# Usage: capture_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$(realpath "$1")
simulator=$2
out_dir=$3
# shellcheck source=SCRIPTDIR/daemonlib.sh
. "$(dirname "$0")/daemonlib.sh"
lw_check_begin capture "$out_dir"

lw_router_script "$out_dir/router.txt"
"$simulator" --port 0 --script "$out_dir/router.txt" >"$out_dir/sim.out" 2>&1 &
sim_pid=$!
pids+=("$sim_pid")
router_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"
web_port=$(lw_pick_port) || fail "no free port"
lw_daemon_settings "$out_dir/linewatch.ini" "$router_port" "$web_port"
capture=$out_dir/session.capture
"$daemon" --config "$out_dir/linewatch.ini" --capture "$capture" 2>"$out_dir/linewatchd.err" &
daemon_pid=$!
pids+=("$daemon_pid")
lw_wait_status_screen "$web_port" "$daemon_pid" "$out_dir/status.json"
lw_http_get "$web_port" /status.json "$out_dir/last.http" || fail "no last /status.json"
lw_http_body "$out_dir/last.http" >"$out_dir/live.json"
kill -TERM "$daemon_pid"
wait "$daemon_pid" || fail "linewatchd did not end cleanly"
[ -f "$capture" ] || fail "no capture written"
[ "$(stat -c %a "$capture")" = 600 ] || fail "capture mode $(stat -c %a "$capture")"
python3 - "$capture" <<'PY' || fail "the capture does not hold what passed"
import base64, json, sys
router, typed = b"", b""
for line in open(sys.argv[1], encoding="ascii"):
    chunk = json.loads(line)
    assert set(chunk) == {"t", "dir", "data"} and isinstance(chunk["t"], int), line
    data = base64.b64decode(chunk["data"], validate=True)
    if chunk["dir"] == "router":
        router += data
    else:
        assert chunk["dir"] == "typed", line
        typed += data
assert b"Menu 24.1" in router, "no status screen"
# The simulator's password is 1234: typed masked, to its length, with its carriage return.
assert b"1234" not in typed and b"****\r" in typed, typed
PY

# Played back as fast as it goes into a linewatchd that remembers no password (it types an empty
# line where the capture holds "****").
"$simulator" --port 0 --replay "$capture" --speed 0 >"$out_dir/replay.out" 2>&1 &
pids+=("$!")
replay_port=$(lw_wait_simulator "$out_dir/replay.out") || fail "the replaying simulator did not start"
replay_web_port=$(lw_pick_port) || fail "no free port"
lw_daemon_settings "$out_dir/replayed.ini" "$replay_port" "$replay_web_port"
sed -i 's/^RememberPassword=1\r$/RememberPassword=0\r/; /^Password=/d' "$out_dir/replayed.ini"
"$daemon" --config "$out_dir/replayed.ini" 2>"$out_dir/replayed.err" &
replayed_pid=$!
pids+=("$replayed_pid")
lw_wait_status_screen "$replay_web_port" "$replayed_pid" "$out_dir/replayed.http"
lw_http_body "$out_dir/replayed.http" >"$out_dir/replayed.json"
"$daemon" --replay "$capture" --status-json >"$out_dir/offline.json" 2>"$out_dir/offline.err" ||
    fail "--replay --status-json failed"
python3 - "$out_dir/live.json" "$out_dir/replayed.json" "$out_dir/offline.json" <<'PY' ||
import json, sys
def figures(path):
    doc = json.load(open(path))
    channels = [{k: v for k, v in c.items() if k != "usage_history"} for c in doc["channels"]]
    return doc["connection"]["state"], channels, doc["ethernet"], doc["router"]
live = figures(sys.argv[1])
assert live[0] == "status_screen" and live[3]["name"] == "office-gw" and live[3]["firmware"], live
for path in sys.argv[2:]:
    assert figures(path) == live, (path, figures(path), live)
PY
    fail "the replayed figures differ from the live ones"
echo "capture check passed"
