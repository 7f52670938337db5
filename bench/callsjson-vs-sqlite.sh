#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# /calls.json's query time beside the sqlite3 shell's for the same SELECT written as JSON
# (`.mode json`), over one database: the shell runs the query N times in one process, minus the
# same process with no query, per query; ours from lw_historyload's kept-connection figure.
#   bench/callsjson-vs-sqlite.sh BUILD_DIR DATABASE [LIMIT]
set -euo pipefail
build=${1:?build directory}
db=${2:?database}
limit=${3:-100}
runs=400
command -v sqlite3 >/dev/null || { echo "needs the sqlite3 shell (apt install sqlite3)" >&2; exit 77; }
select="SELECT id, channel, kind, direction, start_utc, end_utc, duration, remote, tx_packets, rx_packets,"
select+=" peak_usage, mean_usage, closed_at_stop FROM calls WHERE start_utc >= 946684810"
select+=" ORDER BY start_utc DESC, id DESC LIMIT $((limit + 1));"
script=$(mktemp)
trap 'rm -f "$script"' EXIT
shell_ms() {
    local n=$1 best=1e9
    { echo ".mode json"; echo ".output /dev/null"; for ((i = 0; i < n; i++)); do echo "$select"; done; } >"$script"
    for _ in 1 2 3 4 5; do
        local t0 t1
        t0=$(date +%s%N)
        sqlite3 -readonly "$db" <"$script"
        t1=$(date +%s%N)
        best=$(python3 -c "print(min($best, ($t1 - $t0) / 1e6))")
    done
    echo "$best"
}
empty=$(shell_ms 0)
full=$(shell_ms $runs)
shell=$(python3 -c "print(($full - $empty) / $runs)")
ours=$(QT_QPA_PLATFORM=offscreen "$build/bench/lw_historyload" "$db" 20 | sed -n "s|^/calls.json?limit=$limit, kept connection, query run: \([0-9.]*\) ms.*|\1|p")
python3 -c "print(f'limit={$limit}: sqlite3 shell {$shell:.3f} ms a query, /calls.json {$ours:.3f} ms: {$ours / $shell:.2f}x')"
