#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that the README's two set-up commands work in a clean clone: runs the test command, then
# the run command with no display, waits until its web status page shows figures from the router
# simulator (at most 10 seconds after the monitor starts), sends it SIGINT as Ctrl-C would and
# checks that the monitor and the simulator have both ended. Everything talks to 127.0.0.1 only.
#
#   tools/check-setup-commands.sh [--keep]     (--keep leaves the clone in place for a look)
#
# Clones the committed HEAD, so commit first. The clone's full build takes a while on a small
# machine. Needs git, curl and coreutils 9 (env --default-signal).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/lib.sh"
keep=0
[ "${1:-}" = "--keep" ] && keep=1

for tool in git curl; do
    command -v "$tool" >/dev/null || { echo "check-setup: $tool is not installed" >&2; exit 1; }
done
# A background job of a script starts with SIGINT ignored, and bash cannot trap a signal ignored
# on entry; the run command must see SIGINT as it would under a terminal's Ctrl-C.
env --default-signal=INT true 2>/dev/null || { echo "check-setup: env lacks --default-signal" >&2; exit 1; }

# The commands as the README names them, so the README and this check cannot drift apart.
test_command=$(grep -o '^tools/install-and-test\.sh$' "$root/README.md" | head -n 1)
run_command=$(grep -o '^tools/install-and-run\.sh$' "$root/README.md" | head -n 1)
if [ -z "$test_command" ] || [ -z "$run_command" ]; then
    echo "check-setup: README.md does not name tools/install-and-test.sh and tools/install-and-run.sh" >&2
    exit 1
fi

work=$(mktemp -d)
run_pid=
cleanup() {
    if [ -n "$run_pid" ] && kill -0 "$run_pid" 2>/dev/null; then
        kill -TERM "$run_pid" 2>/dev/null || true
        wait "$run_pid" 2>/dev/null || true
    fi
    if [ "$keep" = 1 ]; then
        echo "check-setup: clone kept in $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

fail() {
    echo "check-setup: FAIL: $*" >&2
    if [ -f "$work/run.log" ]; then
        echo "--- run command output ---" >&2
        tail -n 30 "$work/run.log" >&2
    fi
    exit 1
}

echo "check-setup: cloning $root"
git clone --quiet "$root" "$work/linewatch"
cd "$work/linewatch"

echo "check-setup: running $test_command"
"./$test_command" >"$work/test.log" 2>&1 || {
    tail -n 40 "$work/test.log" >&2
    fail "$test_command failed (log above)"
}
grep -E 'tests passed' "$work/test.log" | tail -n 1

echo "check-setup: running $run_command without a display"
# setsid: the run command gets a session of its own, so what it leaves behind can be found.
env -u DISPLAY -u WAYLAND_DISPLAY --default-signal=INT setsid "./$run_command" >"$work/run.log" 2>&1 &
run_pid=$!

# The run command builds (nothing left to do after the test command) and then starts the monitor.
started=
for _ in $(seq 1 1200); do
    if grep -q '^Press Ctrl-C to stop\.$' "$work/run.log"; then
        started=$(date +%s.%N)
        break
    fi
    kill -0 "$run_pid" 2>/dev/null || fail "the run command ended before starting the monitor"
    sleep 0.1
done
[ -n "$started" ] || fail "the monitor did not start within two minutes"
grep -q '^No display found' "$work/run.log" || fail "the run command did not say that there is no display"
url=$(sed -n 's|^Web status page: \(http://127\.0\.0\.1:[0-9]*/\)$|\1|p' "$work/run.log")
[ -n "$url" ] || fail "the run command printed no web page address on 127.0.0.1"

# Live figures: channel B1's Link shows a state word from the simulator instead of "No Data".
page=
while :; do
    now=$(date +%s.%N)
    elapsed=$(awk -v a="$started" -v b="$now" 'BEGIN { printf "%.2f", b - a }')
    if awk -v e="$elapsed" 'BEGIN { exit !(e > 10) }'; then
        fail "no figures from the simulator on $url within 10 seconds"
    fi
    if page=$(curl -s -m 2 "$url") &&
        link=$(printf '%s' "$page" | tr -d '\r\n' | grep -o 'Link:</td> *<td[^>]*>[^<]*' | head -n 1 |
            sed 's/.*>//') &&
        [ -n "$link" ] && [ "$link" != "No Data" ]; then
        echo "check-setup: $url shows B1 Link \"$link\" ${elapsed}s after the monitor started"
        break
    fi
    sleep 0.25
done

children=$(ps -o pid= --ppid "$run_pid" | tr -s ' \n' ' ')
[ -n "${children// /}" ] || fail "found neither the monitor nor the simulator under the run command"
echo "check-setup: sending SIGINT to the run command (children:$children)"
kill -INT "$run_pid"
lw_wait_gone "$run_pid" || fail "the run command still runs 10 seconds after SIGINT"
wait "$run_pid" 2>/dev/null || true
run_pid=
for pid in $children; do
    if kill -0 "$pid" 2>/dev/null; then
        fail "process $pid ($(ps -o args= -p "$pid")) still runs after SIGINT"
    fi
done
grep -q '^Password=nnnn' demo/linewatch.ini || fail "the demo settings lost the stored password"
grep -q '^MaskPassword=' demo/linewatch.ini || fail "the monitor did not write its settings back at the end"
echo "check-setup: PASS"
