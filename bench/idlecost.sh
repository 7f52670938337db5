#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Idle cost of the monitor beside a bare Qt Widgets program that rewrites one label a second in a
# window of the monitor's size: CPU time, wake-ups (context switches of all threads) and resident
# memory, on a private Xvfb display, with the router simulator on 127.0.0.1 repainting the status
# screen once a second. Both start together and warm up for WARMUP seconds (start-up, login, the
# first screens, and Qt's pool threads, which end some 30 s after their last job, are not idle).
# Then ROUNDS rounds of SECONDS measure the two side by side over the same seconds, first with
# both windows shown, then with both unmapped alike (as a window manager minimises them), so that
# a machine's passing load or clock speed weighs on both alike, and last with both closed (the
# monitor into a notification area that bench/xwin.py stands in for, the bare window hidden by
# Qt); the medians of the rounds' ratios and their ranges close the output.
# Usage: bench/idlecost.sh BUILD_DIR [SECONDS [ROUNDS [WARMUP]]]   (defaults 20, 3, 40; BUILD_DIR
# holds linewatch, linewatch-routersim and bench/lw_bareclock; a release build is the fair one)
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="${2:-20}"
rounds="${3:-3}"
warmup="${4:-40}"
# shellcheck source=../tools/lib.sh
. "$(dirname "$0")/../tools/lib.sh"
lw_scratch

display=":$((90 + RANDOM % 9))"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 1
export DISPLAY="$display" QT_QPA_PLATFORM=xcb

"$build/linewatch-routersim" --port 0 --seed 7 >"$work/sim.log" &
pids+=($!)
for _ in $(seq 50); do grep -qs '^listening on' "$work/sim.log" && break; sleep 0.1; done
port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.log")"

# A portable copy: the settings beside the program connect it to the simulator at start-up with
# the simulator's password 1234 (stored scrambled as "nnnn") and no update check.
mkdir "$work/app"
cp "$build/linewatch" "$work/app/"
printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nMaskPassword=1\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\nShowStatus=1\r\n' \
    "$port" >"$work/app/linewatch.ini"

# One line per thread: its id, nanoseconds on a CPU and context switches. The clock-tick figures
# of /proc/PID/stat are too coarse here (10 ms against some 20 ms a minute), and the monitor's
# wake-ups are spread over its threads.
threads()
{
    local task ns switches
    for task in /proc/"$1"/task/*; do
        # A thread that ends between the listing and the reading is left out.
        ns="$(cut -d' ' -f1 "$task/schedstat" 2>/dev/null)" || continue
        switches="$(awk '/ctxt_switches/ {n += $2} END {print n + 0}' "$task/status" 2>/dev/null)" || continue
        echo "${task##*/} $ns $switches"
    done
}

# measure PHASE ROUND: CPU time, wake-ups and resident memory of the monitor and the bare program
# over the same SECONDS, one line each, the two read in turns (who goes first alternates);
# "CPU WAKE-UPS RESIDENT" go to $work/PHASE.ROUND and $work/bare.PHASE.ROUND. A thread that ends
# within them takes its share with it; one that starts counts in full.
measure()
{
    local phase="$1" round="$2" order=("$app" "$bare") pid
    [ $((round % 2)) = 0 ] && order=("$bare" "$app")
    for pid in "${order[@]}"; do threads "$pid" >"$work/before.$pid"; done
    sleep "$seconds"
    for pid in "${order[@]}"; do threads "$pid" >"$work/after.$pid"; done
    report "linewatch, $phase, round $round" "$app" "$work/$phase.$round"
    report "bare label, $phase, round $round" "$bare" "$work/bare.$phase.$round"
}

report()
{
    local name="$1" pid="$2" out="$3"
    awk -v n="$name" -v s="$seconds" -v out="$out" -v rss="$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")" '
        NR == FNR { cpu[$1] = $2; sw[$1] = $3; next }
        { c += $2 - cpu[$1]; w += $3 - sw[$1] }
        END {
            printf "%-34s CPU %7.3f s (%5.3f %%), wake-ups %6d (%5.1f/s), resident %6d KiB\n",
                n, c / 1e9, 100 * c / 1e9 / s, w, w / s, rss
            print c, w, rss > out }' "$work/before.$pid" "$work/after.$pid"
}

# ratio PHASE: the rounds' ratios of the monitor to the bare program, median and range, one line.
ratio()
{
    local round
    for round in $(seq "$rounds"); do
        paste -d' ' "$work/$1.$round" "$work/bare.$1.$round"
    done | awk -v p="$1" '
        function stats(name, v, n,    i, j, t) {
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
            return sprintf("%s %.2fx (%.2f-%.2f)", name, v[int((n + 1) / 2)], v[1], v[n])
        }
        { n++; cpu[n] = $4 > 0 ? $1 / $4 : 0; wake[n] = $5 > 0 ? $2 / $5 : 0; rss[n] = $3 / $6 }
        END {
            printf "windows %-9s %s, %s, %s the bare program\n", p ":", stats("CPU", cpu, n),
                stats("wake-ups", wake, n), stats("resident memory", rss, n)
            printf "  (median and range of %d rounds of %d s; target at most 1.25x)\n", n, '"$seconds"' }'
}

# xwin COMMAND [TITLE]: bench/xwin.py on our display (geometry, unmap, close, tray).
xwin()
{
    python3 "$(dirname "$0")/xwin.py" "$display" "$@"
}

# A notification area for both: the monitor closes into it as on a desktop (its icon is left
# unmapped, as a tray that shows nothing), and the bare program closes to hidden.
python3 "$(dirname "$0")/xwin.py" "$display" tray >"$work/tray.log" &
pids+=($!)
for _ in $(seq 50); do grep -qs '^tray' "$work/tray.log" && break; sleep 0.1; done

"$work/app/linewatch" >"$work/app.log" 2>&1 &
app=$!
pids+=($app)
# The bare window takes the size of the monitor's once the monitor shows it.
size=""
for _ in $(seq 100); do
    size="$(xwin geometry "Brelwick ISDN Router Monitor" 2>/dev/null)" && break
    sleep 0.1
done
[ -n "$size" ] || { echo "the monitor's window never appeared" >&2; exit 1; }
"$build/bench/lw_bareclock" "$size" >/dev/null 2>&1 &
bare=$!
pids+=($bare)
for _ in $(seq 100); do xwin geometry lw_bareclock >/dev/null 2>&1 && break; sleep 0.1; done
echo "both windows ${size}: warming up for $warmup s, then $rounds rounds of $seconds s shown, unmapped and closed"
sleep "$warmup"
grep -q 'login ok' "$work/sim.log" || echo "note: the monitor did not log in to the simulator" >&2
for round in $(seq "$rounds"); do measure shown "$round"; done
# Xvfb has no notification area to hide the window in (closing it would only ask to minimise it,
# and there is no window manager to do that), so both windows are unmapped alike.
xwin unmap "Brelwick ISDN Router Monitor" && xwin unmap lw_bareclock ||
    { echo "the windows could not be unmapped" >&2; exit 1; }
sleep 2 # the unmapped windows' last events are not idle
for round in $(seq "$rounds"); do measure unmapped "$round"; done
# Closed: the monitor goes to the tray as when the user closes its window there, and the bare
# program hides its window the same way (it goes on running with no window shown).
xwin close "Brelwick ISDN Router Monitor" && xwin close lw_bareclock ||
    { echo "the windows could not be closed" >&2; exit 1; }
sleep 2
for round in $(seq "$rounds"); do measure closed "$round"; done
kill "$app" # SIGTERM: the monitor exits as through its tray menu
ratio shown
ratio unmapped
ratio closed
