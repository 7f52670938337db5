#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Start-up cost of the monitor beside the bare Qt program (bench/bareclock.cpp): milliseconds from
# starting the program to the X server mapping its first window, on a private Xvfb display with a
# notification area (bench/xwin.py) and the router simulator on 127.0.0.1, as a user starts it on
# a desktop with its settings beside it (connect at start-up, a call history). One start of each
# warms the file cache and is not counted; then ROUNDS rounds start the two in turns (who goes
# first alternates), and the medians, ranges and the median of the rounds' ratios close the output.
# Usage: bench/startcost.sh BUILD_DIR [ROUNDS]   (default 11; a release build is the fair one)
set -euo pipefail
build="$(cd "$1" && pwd)"
rounds="${2:-11}"
# shellcheck source=../tools/lib.sh
. "$(dirname "$0")/../tools/lib.sh"
lw_scratch
xwin="$(cd "$(dirname "$0")" && pwd)/xwin.py"

display=":$((90 + RANDOM % 9))"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 1
export DISPLAY="$display" QT_QPA_PLATFORM=xcb
# The history and any per-user file go to the scratch directory.
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
python3 "$xwin" "$display" tray >"$work/tray.log" &
pids+=($!)
for _ in $(seq 50); do grep -qs '^tray' "$work/tray.log" && break; sleep 0.1; done

"$build/linewatch-routersim" --port 0 --seed 7 >"$work/sim.log" &
pids+=($!)
port="$(lw_wait_simulator "$work/sim.log")"

# The same portable copy as bench/idlecost.sh's: connects to the simulator at start-up.
mkdir "$work/app"
cp "$build/linewatch" "$work/app/"
printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nMaskPassword=1\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\nShowStatus=1\r\n' \
    "$port" >"$work/app/linewatch.ini"

# start NAME: one start of the program NAME, its milliseconds to the first map on standard output.
start()
{
    if [ "$1" = app ]; then
        python3 "$xwin" "$display" mapped "Brelwick ISDN Router Monitor" -- "$work/app/linewatch"
    else
        python3 "$xwin" "$display" mapped lw_bareclock -- "$build/bench/lw_bareclock" 640x480
    fi
}

start app >/dev/null
start bare >/dev/null
echo "$rounds rounds, start to first window map"
for round in $(seq "$rounds"); do
    order=(app bare)
    [ $((round % 2)) = 0 ] && order=(bare app)
    for name in "${order[@]}"; do
        start "$name" >"$work/$name.$round"
    done
    printf 'round %2d: linewatch %6.1f ms, bare program %6.1f ms\n' "$round" "$(cat "$work/app.$round")" \
        "$(cat "$work/bare.$round")"
done

for round in $(seq "$rounds"); do
    paste -d' ' "$work/app.$round" "$work/bare.$round"
done | awk '
    function stats(v, n, f,    i, j, t) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return sprintf(f " (" f "-" f ")", v[int((n + 1) / 2)], v[1], v[n])
    }
    { n++; app[n] = $1; bare[n] = $2; ratio[n] = $1 / $2 }
    END {
        printf "linewatch %s ms, bare program %s ms: %sx the bare program\n", stats(app, n, "%.1f"), stats(bare, n, "%.1f"), stats(ratio, n, "%.2f")
        printf "  (median and range of %d rounds; target at most 2x)\n", n }'
