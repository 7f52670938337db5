#!/usr/bin/env bash
# Idle cost of the monitor beside a bare Qt Widgets program that rewrites one label a second:
# CPU time, wake-ups (context switches) and resident memory over SECONDS, on a private Xvfb
# display, with the router simulator on 127.0.0.1 repainting the status screen once a second.
# Usage: bench/idlecost.sh BUILD_DIR [SECONDS]   (BUILD_DIR holds linewatch, linewatch-routersim
# and bench/lw_bareclock; a release build is the fair one)
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="${2:-60}"
work="$(mktemp -d)"
pids=()
cleanup()
{
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

display=":$((90 + RANDOM % 9))"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 1
export DISPLAY="$display" QT_QPA_PLATFORM=xcb

"$build/linewatch-routersim" --port 0 --seed 7 >"$work/sim.log" &
pids+=($!)
for _ in $(seq 50); do grep -q '^listening on' "$work/sim.log" && break; sleep 0.1; done
port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.log")"

# A portable copy: the settings beside the program connect it to the simulator at start-up with
# the simulator's password 1234 (stored scrambled as "nnnn") and no update check.
mkdir "$work/app"
cp "$build/linewatch" "$work/app/"
printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nMaskPassword=1\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\nShowStatus=1\r\n' \
    "$port" >"$work/app/linewatch.ini"

# CPU seconds (user + system), context switches and resident KiB of a process.
sample()
{
    local stat status
    stat=($(sed 's/^.*) //' "/proc/$1/stat"))
    status="/proc/$1/status"
    echo "$(( ${stat[11]} + ${stat[12]} )) \
$(( $(awk '/^voluntary_ctxt_switches/ {print $2}' "$status") + $(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$status") )) \
$(awk '/^VmRSS/ {print $2}' "$status")"
}

measure()
{
    local name="$1" pid="$2" hz before after
    hz="$(getconf CLK_TCK)"
    sleep 5 # start-up, login and the first screens are not idle
    before=($(sample "$pid"))
    sleep "$seconds"
    after=($(sample "$pid"))
    awk -v n="$name" -v s="$seconds" -v hz="$hz" -v c0="${before[0]}" -v c1="${after[0]}" -v w0="${before[1]}" \
        -v w1="${after[1]}" -v rss="${after[2]}" 'BEGIN {
            printf "%-28s CPU %6.2f s (%5.2f %%), wake-ups %6d (%5.1f/s), resident %6d KiB\n",
                n, (c1 - c0) / hz, 100 * (c1 - c0) / hz / s, w1 - w0, (w1 - w0) / s, rss }'
}

"$work/app/linewatch" >"$work/app.log" 2>&1 &
app=$!
pids+=($app)
measure "linewatch (window shown)" "$app"
grep -q 'login ok' "$work/sim.log" || echo "note: the monitor did not log in to the simulator" >&2
kill "$app" # SIGTERM: the monitor exits as through its tray menu

"$build/bench/lw_bareclock" >/dev/null 2>&1 &
bare=$!
pids+=($bare)
measure "bare Qt label, once a second" "$bare"
