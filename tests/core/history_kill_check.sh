#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Kills a history writer with SIGKILL while it writes, many times over one database. After each
# kill the next writer checks that the database opens, passes integrity_check and holds every call
# the killed ones reported committed.
# Usage: history_kill_check.sh <lw_history_kill_writer> [rounds]   (default 200)
set -euo pipefail

writer=$1
rounds=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
db=$work/history.sqlite
committed=$work/committed
: >"$committed"

checked=0
for ((round = 1; round <= rounds; round++)); do
    "$writer" "$db" "$committed" >"$work/out" 2>"$work/err" &
    pid=$!
    # 30 to 150 ms: before, during and after the check, mostly while writing.
    sleep "0.$(printf '%03d' $((30 + RANDOM % 120)))"
    kill -KILL "$pid" 2>/dev/null || true
    status=0
    wait "$pid" 2>/dev/null || status=$?
    if [ "$status" -ne 137 ]; then
        echo "FAIL: round $round: the writer ended with status $status"
        cat "$work/err"
        exit 1
    fi
    if [ "$(head -n 1 "$work/out")" = checked ]; then
        checked=$((checked + 1))
        # Only whole lines: the kill may cut the last one.
        tail -n +2 "$work/out" | grep -x '[0-9][0-9]*' >>"$committed" || true
    fi
done

if ! "$writer" "$db" "$committed" --check-only 2>"$work/err"; then
    echo "FAIL: after the last kill:"
    cat "$work/err"
    exit 1
fi
echo "OK: $rounds kills ($checked after a full check), $(wc -l <"$committed") committed calls all present"
