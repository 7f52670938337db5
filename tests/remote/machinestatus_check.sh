#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Judges the real /status.json and /metrics builders with outside tools: Python's JSON reader
# (strict: no NaN, valid UTF-8) on every snapshot's JSON, and `promtool check metrics` on every
# snapshot's metrics when promtool is installed (Debian's prometheus package provides it).
# Usage: machinestatus_check.sh <lw_machinestatus_dump>
set -euo pipefail

dump=$1
failed=0

for snapshot in default busy hostile; do
    if ! "$dump" json "$snapshot" | python3 -c '
import json, sys
def reject(constant):
    raise ValueError("not JSON: " + constant)
doc = json.loads(sys.stdin.buffer.read().decode("utf-8"), parse_constant=reject)
assert doc["schema"] == 1 and len(doc["channels"]) == 2
assert all(len(c["usage_history"]) == 91 for c in doc["channels"])
assert isinstance(doc["reconnect"]["reconnecting"], bool)
'; then
        echo "FAIL: /status.json of the $snapshot snapshot is not valid JSON of schema 1"
        failed=1
    fi
done

if ! command -v promtool >/dev/null; then
    echo "SKIP: promtool not installed: install Debian's prometheus package to check /metrics"
    [ "$failed" -eq 0 ] && exit 77
    exit 1
fi

for snapshot in default busy hostile; do
    # promtool prints nothing and exits 0 when the exposition parses and passes its lint.
    if ! out=$("$dump" metrics "$snapshot" | promtool check metrics 2>&1) || [ -n "$out" ]; then
        echo "FAIL: promtool check metrics on the $snapshot snapshot:"
        echo "$out"
        failed=1
    fi
done

[ "$failed" -eq 0 ] && echo "OK: JSON and metrics of every snapshot pass"
exit "$failed"
