#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# linewatchd against simulated routers that paint the status screen as other firmwares might (a
# column moved, wider counters, an extra row, another title): /status.json says unknown_layout and
# names the failed check, no figure from such a screen shows, and the log says it once.
# Everything stays on 127.0.0.1.
# Usage: layout_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$(realpath "$1")
simulator=$2
out_dir=$3
# shellcheck source=SCRIPTDIR/daemonlib.sh
. "$(dirname "$0")/daemonlib.sh"
lw_check_begin layout "$out_dir"

for layout in shifted wide extra-row title; do
    lw_router_script "$out_dir/$layout.txt"
    echo "layout $layout" >>"$out_dir/$layout.txt"
    "$simulator" --port 0 --script "$out_dir/$layout.txt" >"$out_dir/sim-$layout.out" 2>&1 &
    sim_pid=$!
    pids+=("$sim_pid")
    router_port=$(lw_wait_simulator "$out_dir/sim-$layout.out") || fail "$layout: the simulator did not start"
    web_port=$(lw_pick_port) || fail "no free port"
    lw_daemon_settings "$out_dir/$layout.ini" "$router_port" "$web_port"
    "$daemon" --config "$out_dir/$layout.ini" 2>"$out_dir/linewatchd-$layout.err" &
    daemon_pid=$!
    pids+=("$daemon_pid")
    # The layout counts as unknown after three seconds of refused screens; 60 s allows for a busy
    # machine's start and login.
    json=$out_dir/$layout.json
    for _ in $(seq 1 300); do
        lw_http_get "$web_port" /status.json "$json" && grep -qF '"state":"unknown_layout"' "$json" && break
        kill -0 "$daemon_pid" 2>/dev/null || fail "$layout: linewatchd ended"
        sleep 0.2
    done
    grep -qF '"state":"unknown_layout"' "$json" || fail "$layout: /status.json never said unknown_layout"
    grep -qE '"layout_check":"[a-z_]+, row [0-9]+' "$json" || fail "$layout: no failed check named"
    # The screens painted B1's figures; none of them may show.
    grep -qF "\"tx\":$LW_B1_TX" "$json" && fail "$layout: a figure from the refused screen"
    grep -qF '"link":"No Data"' "$json" || fail "$layout: B1's link is not the default"
    # More repaints of refused screens: still one warning (linewatchd also logs the status bar's
    # text, once, as it logs every status-bar text).
    sleep 1
    count=$(grep -c "layout this version does not know.*failed check" "$out_dir/linewatchd-$layout.err" || true)
    [ "$count" = 1 ] || fail "$layout: the log warned $count times"
    count=$(grep -c "layout this version does not know" "$out_dir/linewatchd-$layout.err" || true)
    [ "$count" = 2 ] || fail "$layout: the log said it $count times"
    kill -TERM "$daemon_pid" "$sim_pid"
    wait "$daemon_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
done
echo "layout check passed"
