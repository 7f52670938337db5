#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The live page (/live) of linewatchd against the router simulator, in headless Chromium driven over
# its DevTools protocol by live_browser.py: the first event's figures equal /status.json at 390x844
# and 1280x800, nothing wider than 360 px, "reconnecting" when the simulator stops, the figures of
# another simulator followed, no console errors.
# Usage: live_browser_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
# Exits 77 (skipped) when no Chromium or no python3 is installed.
set -euo pipefail
here=$(dirname "$0")
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$here/../../tools/lib.sh"
# shellcheck source=SCRIPTDIR/browserlib.sh
. "$here/browserlib.sh"
# shellcheck source=SCRIPTDIR/../daemon/daemonlib.sh
. "$here/../daemon/daemonlib.sh"

daemon=$1
simulator=$2
out_dir=$3

if ! browser=$(lw_chromium); then
    echo "chromium not installed: skipped"
    exit 77
fi
if ! command -v python3 >/dev/null; then
    echo "python3 not installed: skipped"
    exit 77
fi

fail() {
    echo "live browser check failed: $*" >&2
    for log in sim.out daemon.err chromium.log; do
        [ -f "$out_dir/$log" ] && sed "s/^/$log: /" "$out_dir/$log" | tail -20 >&2
    done
    exit 1
}

sim_pid=""
daemon_pid=""
cleanup() {
    [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
}
trap cleanup EXIT

rm -rf "$out_dir"
mkdir -p "$out_dir/home"
export HOME=$out_dir/home XDG_CONFIG_HOME=$out_dir/home/.config XDG_STATE_HOME=$out_dir/home/.local/state
export XDG_CACHE_HOME=$out_dir/home/.cache XDG_DATA_HOME=$out_dir/home/.local/share

# The second simulator paints other figures, so that following them shows on the page.
lw_router_script "$out_dir/router-a.txt"
lw_router_script "$out_dir/router-b.txt"
sed -i -e 's/^set name .*/set name branch-gw/' -e 's/^set b1.tx .*/set b1.tx 6100200300/' \
    -e 's/^set b1.alu .*/set b1.alu 75/' -e 's/^set b1.errors .*/set b1.errors 9/' "$out_dir/router-b.txt"

router_port=$(lw_pick_port) || fail "no free port"
web_port=$(lw_pick_port) || fail "no free port"
"$simulator" --port "$router_port" --script "$out_dir/router-a.txt" >"$out_dir/sim.out" 2>&1 &
sim_pid=$!
lw_wait_simulator "$out_dir/sim.out" >/dev/null || fail "the simulator did not start"
lw_daemon_settings "$out_dir/linewatch.ini" "$router_port" "$web_port"
"$daemon" --config "$out_dir/linewatch.ini" >"$out_dir/daemon.out" 2>"$out_dir/daemon.err" &
daemon_pid=$!
lw_wait_status_screen "$web_port" "$daemon_pid" "$out_dir/status.json"

python3 "$here/live_browser.py" "$browser" "$web_port" "$out_dir" "$sim_pid" "$simulator" \
    "$out_dir/router-b.txt" "$router_port" || fail "in the browser"
kill -0 "$daemon_pid" 2>/dev/null || fail "linewatchd ended"
echo "live browser check passed"
