#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Idle cost of linewatchd beside the desktop program and a bare QCoreApplication with a one-second
# timer: CPU time, wake-ups (context switches of all threads) and resident memory over SECONDS,
# each monitor connected to its own router simulator on 127.0.0.1 repainting the status screen
# once a second, with the web server listening on loopback (and asked for nothing). The three run side by
# side (the desktop one on a private Xvfb display, window shown), so the run takes SECONDS once.
# Where Mosquitto is installed a fourth, linewatchd publishing over MQTT to a broker on 127.0.0.1,
# runs beside them: its CPU and memory against linewatchd without MQTT (target at most 1.1x CPU and
# 1 MiB more resident memory).
# With "quiet" the simulators show a router with both channels idle and no figure moving, so
# only the tick is left; without it the router has a data call on B1 whose usage, counters and
# call time move every second.
# Usage: bench/daemoncost.sh BUILD_DIR [SECONDS] [quiet]   (BUILD_DIR holds linewatchd, linewatch,
# linewatch-routersim and bench/lw_barecoreclock; a release build is the fair one)
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="${2:-60}"
router="${3:-live}"
# shellcheck source=../tools/lib.sh
. "$(dirname "$0")/../tools/lib.sh"
lw_scratch

# A simulator for one monitor; sets sim_port. Not called in a subshell, so that its pid stays in
# pids and the simulator is stopped at the end.
simulator()
{
    local script=()
    if [ "$router" = quiet ]; then
        printf 'live off\ncall b1 idle\ncall b2 idle\n' >"$work/quiet.sim"
        script=(--script "$work/quiet.sim")
    fi
    "$build/linewatch-routersim" --port 0 --seed 7 "${script[@]}" >"$work/sim-$1.log" &
    pids+=($!)
    for _ in $(seq 50); do grep -qs '^listening on' "$work/sim-$1.log" && break; sleep 0.1; done
    sim_port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim-$1.log")"
}

# The settings of a monitor of the simulator on PORT: the simulator's password 1234 (stored
# scrambled as "nnnn"), no update check, the web server on a free loopback port.
settings()
{
    local web
    web="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nMaskPassword=1\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\nShowStatus=1\r\n[RemoteAdmin]\r\nWeb=1\r\nWebPort=%s\r\n[Network]\r\nBindAddress=127.0.0.1\r\n' \
        "$1" "$web"
}

# Counters of every thread: id, nanoseconds on a CPU, context switches.
threads()
{
    local task ns switches
    for task in /proc/"$1"/task/*; do
        ns="$(cut -d' ' -f1 "$task/schedstat" 2>/dev/null)" || continue
        switches="$(awk '/ctxt_switches/ {n += $2} END {print n + 0}' "$task/status" 2>/dev/null)" || continue
        echo "${task##*/} $ns $switches"
    done
}

# One line per program; "KEY CPU-NANOSECONDS WAKE-UPS RESIDENT-KIB" into the figures for the ratios.
report()
{
    local key="$1" name="$2" pid="$3"
    threads "$pid" >"$work/after-$pid"
    awk -v n="$name" -v s="$seconds" -v rss="$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")" '
        NR == FNR { cpu[$1] = $2; sw[$1] = $3; next }
        { c += $2 - cpu[$1]; w += $3 - sw[$1] }
        END {
            printf "%-30s CPU %7.3f s (%5.3f %%), wake-ups %6d (%5.1f/s), resident %6d KiB\n",
                n, c / 1e9, 100 * c / 1e9 / s, w, w / s, rss > "/dev/stderr"
            print c, w, rss }' "$work/before-$pid" "$work/after-$pid" 2>&1 >"$work/figure-$key"
    echo "$key $(cat "$work/figure-$key")" >>"$work/figures"
}

mkdir "$work/daemon" "$work/desktop"
simulator daemon
settings "$sim_port" >"$work/daemon/linewatch.ini"
STATE_DIRECTORY="$work/daemon" "$build/linewatchd" --config "$work/daemon/linewatch.ini" 2>"$work/daemon.log" &
daemon=$!
pids+=($daemon)

have_mqtt=0
if command -v mosquitto >/dev/null || [ -x /usr/sbin/mosquitto ]; then
    mkdir "$work/mqtt"
    broker_port="$(lw_free_port 21883 22883)"
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n' "$broker_port" "$(id -un)" \
        >"$work/broker.conf"
    PATH=$PATH:/usr/sbin mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
    pids+=($!)
    simulator mqtt
    { settings "$sim_port"; printf '[MQTT]\r\nEnabled=1\r\nHost=127.0.0.1\r\nPort=%s\r\n' "$broker_port"; } \
        >"$work/mqtt/linewatch.ini"
    STATE_DIRECTORY="$work/mqtt" "$build/linewatchd" --config "$work/mqtt/linewatch.ini" 2>"$work/mqtt.log" &
    mqtt=$!
    pids+=($mqtt)
    have_mqtt=1
else
    echo "note: no mosquitto: linewatchd with MQTT is left out" >&2
fi

have_desktop=0
if command -v Xvfb >/dev/null && [ -x "$build/linewatch" ]; then
    display=":$((90 + RANDOM % 9))"
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
    cp "$build/linewatch" "$work/desktop/"
    simulator desktop
    settings "$sim_port" >"$work/desktop/linewatch.ini"
    DISPLAY="$display" QT_QPA_PLATFORM=xcb "$work/desktop/linewatch" >"$work/desktop.log" 2>&1 &
    desktop=$!
    pids+=($desktop)
    have_desktop=1
else
    echo "note: no Xvfb or no $build/linewatch: the desktop program is left out" >&2
fi

"$build/bench/lw_barecoreclock" &
bare=$!
pids+=($bare)

sleep 5 # start-up, login and the first screens are not idle
all=("$daemon" "$bare")
[ "$have_desktop" = 1 ] && all+=("$desktop")
[ "$have_mqtt" = 1 ] && all+=("$mqtt")
for pid in "${all[@]}"; do threads "$pid" >"$work/before-$pid"; done
sleep "$seconds"
: >"$work/figures"
report daemon "linewatchd" "$daemon"
[ "$have_desktop" = 1 ] && report desktop "linewatch (window shown)" "$desktop"
report bare "bare QCoreApplication, 1 s" "$bare"
[ "$have_mqtt" = 1 ] && report mqtt "linewatchd with MQTT" "$mqtt"
grep -q 'login ok' "$work/sim-daemon.log" || echo "note: linewatchd did not log in to the simulator" >&2

awk '
    { cpu[$1] = $2; wake[$1] = $3; rss[$1] = $4 }
    END {
        dc = cpu["daemon"]; dw = wake["daemon"]; dr = rss["daemon"]; wr = rss["desktop"]
        printf "linewatchd against the bare core program: CPU %s (target at most 2x), wake-ups %s, resident memory %s\n",
            ratio(dc, cpu["bare"]), ratio(dw, wake["bare"]), ratio(dr, rss["bare"])
        if (wr > 0) printf "linewatchd resident memory: %.2fx the desktop program (target at most 0.5x)\n", dr / wr
        if (rss["mqtt"] > 0)
            printf "linewatchd with MQTT against without: CPU %s (target at most 1.1x), resident memory %+d KiB (target at most +1024)\n",
                ratio(cpu["mqtt"], dc), rss["mqtt"] - dr
    }
    function ratio(a, b) { return b > 0 ? sprintf("%.2fx", a / b) : "n/a" }' "$work/figures"
