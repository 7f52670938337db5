#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A real Prometheus server scrapes linewatchd, which watches the router simulator: once a scrape
# has succeeded, Prometheus's query API must give B1's line usage and transmitted packets as the
# simulator paints them, and `promtool check metrics` must pass on a live /metrics answer.
# Everything listens on 127.0.0.1 only.
# Usage: prometheus_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
# Exits 77 (skipped) where Debian's prometheus package is missing.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$1
simulator=$2
out_dir=$3

if ! command -v prometheus >/dev/null || ! command -v promtool >/dev/null; then
    echo "prometheus not installed: install Debian's prometheus package (tools/install-deps.sh does in CI)"
    exit 77
fi

rm -rf "$out_dir"
mkdir -p "$out_dir/home" "$out_dir/tsdb"

fail() {
    echo "prometheus check failed: $*" >&2
    for log in sim.out linewatchd.err prometheus.err; do
        [ -f "$out_dir/$log" ] && sed "s/^/$log: /" "$out_dir/$log" | tail -20 >&2
    done
    exit 1
}
# shellcheck source=SCRIPTDIR/daemonlib.sh
. "$(dirname "$0")/daemonlib.sh"

sim_pid=""
daemon_pid=""
prometheus_pid=""
cleanup() {
    if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null || true; fi
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    if [ -n "$prometheus_pid" ]; then
        kill "$prometheus_pid" 2>/dev/null || true
        lw_wait_gone "$prometheus_pid" 50 || kill -KILL "$prometheus_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

export LC_ALL=C HOME=$out_dir/home XDG_CONFIG_HOME=$out_dir/home/.config XDG_STATE_HOME=$out_dir/home/.local/state
unset STATE_DIRECTORY

# --- the simulator and linewatchd, on the status screen ---
lw_router_script "$out_dir/router.txt"
"$simulator" --port 0 --script "$out_dir/router.txt" >"$out_dir/sim.out" 2>&1 &
sim_pid=$!
router_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"
web_port=$(lw_pick_port) || fail "no free port"
lw_daemon_settings "$out_dir/linewatch.ini" "$router_port" "$web_port"
"$daemon" --config "$out_dir/linewatch.ini" 2>"$out_dir/linewatchd.err" &
daemon_pid=$!
lw_wait_status_screen "$web_port" "$daemon_pid" "$out_dir/status.json"

# --- promtool on a live answer: it prints nothing when the exposition parses and passes lint ---
lw_http_get "$web_port" /metrics "$out_dir/metrics.http" || fail "/metrics: no answer"
lw_http_body "$out_dir/metrics.http" >"$out_dir/metrics.txt"
if ! lint=$(promtool check metrics <"$out_dir/metrics.txt" 2>&1) || [ -n "$lint" ]; then
    fail "promtool check metrics: $lint"
fi

# --- Prometheus, scraping every second, reachable on 127.0.0.1 only, sending nothing anywhere ---
cat >"$out_dir/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1m
scrape_configs:
  - job_name: linewatch
    static_configs:
      - targets: ['127.0.0.1:$web_port']
EOF
lw_start_prometheus "$out_dir"

# query EXPR: the single sample's value Prometheus gives for EXPR now (empty when none).
query() {
    local expr=$1 encoded="" c i
    for ((i = 0; i < ${#expr}; i++)); do
        c=${expr:i:1}
        case $c in
        [a-zA-Z0-9._~-]) encoded+=$c ;;
        *) printf -v c '%%%02X' "'$c" && encoded+=$c ;;
        esac
    done
    lw_http_get "$prometheus_port" "/api/v1/query?query=$encoded" "$out_dir/query.http" || return 0
    local body
    body=$(lw_http_body "$out_dir/query.http")
    [[ $body == '{"status":"success"'* ]] || return 0
    # One sample only: "value":[TIME,"VALUE"] once.
    [ "$(grep -o '"value":' <<<"$body" | wc -l)" -eq 1 ] || return 0
    sed -n 's/.*"value":\[[^,]*,"\([^"]*\)"\].*/\1/p' <<<"$body"
}

# Up to a minute for a slow machine to start Prometheus and scrape once.
scraped=""
for _ in $(seq 1 120); do
    if [ "$(query 'up{job="linewatch"}')" = 1 ]; then
        scraped=1
        break
    fi
    kill -0 "$prometheus_pid" 2>/dev/null || fail "prometheus ended"
    kill -0 "$daemon_pid" 2>/dev/null || fail "linewatchd ended"
    sleep 0.5
done
[ -n "$scraped" ] || fail "Prometheus never scraped linewatchd successfully (up{job=\"linewatch\"} != 1)"

# --- B1's figures, as Prometheus stored them ---
usage=$(query 'linewatch_channel_line_usage_ratio{job="linewatch",channel="B1"}')
[ "$usage" = "$LW_B1_CLU_RATIO" ] || fail "B1 line usage in Prometheus: '$usage', expected $LW_B1_CLU_RATIO"
sent=$(query 'linewatch_channel_transmitted_packets_total{job="linewatch",channel="B1"}')
[ "$sent" = "$LW_B1_TX" ] || fail "B1 transmitted packets in Prometheus: '$sent', expected $LW_B1_TX"
connected=$(query 'linewatch_router_connected{job="linewatch"}')
[ "$connected" = 1 ] || fail "linewatch_router_connected in Prometheus: '$connected'"

echo "prometheus check passed: B1 at $usage line usage, $sent packets sent"
