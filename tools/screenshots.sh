#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes a PNG of each tab of the monitor's window with live figures from the router simulator,
# under a virtual X server, into docs/screenshots/ (status, graph, history over a month of simulated
# calls, settings, about, each again in German as *-de.png, the Alerts group, and the tray picture
# enlarged), of the incoming call's notification bubble on that screen (notification), and of the
# web status page the monitor serves (webpage), and of the error box a refused router connection
# raises with reconnecting off (errorbox; with it on, the reconnect text says it instead); and of
# linewatchd's live page at 390 and 1280 px, light and dark (live-390-light.png ...). Everything
# runs on 127.0.0.1 in a scratch directory.
#
#   tools/screenshots.sh [BUILD_DIR] [OUT_DIR]      (defaults: build, docs/screenshots)
#   LINEWATCH_SCREENSHOTS=live tools/screenshots.sh  the live page's pictures alone
#
# Needs xvfb-run (Debian's xvfb and xauth); the monitor saves the pictures itself through its
# LINEWATCH_SCREENSHOT_DIR hook, so no screen grabber is needed. The bubble needs Debian's dunst
# and dbus (dbus-run-session, dbus-send): a private session bus with dunst as its notification
# service; skipped with a warning without them. The web page is shot by headless Chromium
# (/usr/bin/chromium, or $CHROMIUM), skipped with a warning when it is missing; it may resolve no
# host name but 127.0.0.1.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/lib.sh"
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/docs/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)

only=${LINEWATCH_SCREENSHOTS:-all}
for program in "$build/linewatch" "$build/linewatch-routersim" "$build/linewatch-historyfill"; do
    if [ ! -x "$program" ] && { [ "$only" = all ] || [ "$program" != "$build/linewatch" ]; }; then
        echo "missing $program: build the targets linewatch, linewatch-routersim and linewatch-historyfill first" >&2
        exit 1
    fi
done
command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed (apt-get install xvfb xauth)" >&2; exit 1; }

demo=$(mktemp -d)
sim_pid=
monitor_pid=
daemon_pid=
cleanup() {
    for pid in $daemon_pid $monitor_pid $sim_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$demo"
}
trap cleanup EXIT

# A busy line: B1 in a data call, B2 taking a voice call with a caller ID, figures moving fast.
cat >"$demo/sim.txt" <<'EOF'
interval-ms 250
call b1 data
call b2 voice 5551234
set name Brelwick
set lan.status 10M/Half Duplex
set trigger.dst 192.0.2.80
set trigger.dport 25
EOF

: >"$demo/sim.log" # exists before the simulator's first line, which the loop below waits for
"$build/linewatch-routersim" --port 0 --seed 7 --password 1234 --script "$demo/sim.txt" >"$demo/sim.log" &
sim_pid=$!
if ! sim_port=$(lw_wait_simulator "$demo/sim.log" 50); then
    echo "the router simulator did not start:" >&2
    cat "$demo/sim.log" >&2
    exit 1
fi

# A free port for the web status page, so the Settings tab shows the web server switched on.
web_port=$(lw_free_port 18080 18180) || web_port=18080

# The settings file lives beside the program, so the demo runs a copy of it. "nnnn" is the stored
# (scrambled) form of the simulator's password 1234.
cp "$build/linewatch" "$demo/linewatch"
printf '%s\r\n' \
    '[Connection]' 'TelnetAddress=127.0.0.1' "TelnetPort=$sim_port" 'MaskPassword=1' \
    'RememberPassword=1' 'Password=nnnn' \
    '[Startup]' 'ConnectAtStartup=1' 'CheckForUpdates=0' 'ShowStatus=1' \
    '[RemoteAdmin]' 'Telnet=0' 'TelnetPort=2323' 'Web=1' "WebPort=$web_port" \
    'WebAutoRefresh=1' 'WebAutoRefreshSeconds=10' \
    '[Logging]' 'Database=history.sqlite' >"$demo/linewatch.ini"
# A month of a busy office's calls for the History tab.
"$build/linewatch-historyfill" --calls 1200 --days 31 --seed 7 "$demo/history.sqlite" >/dev/null
printf '%s\r\n' '[tcp]' '25=smtp' '80=http' >"$demo/services.ini"

# linewatchd's live page against the same simulator and a month of calls (fewer than one
# /calls.json answer holds, so the page's totals are whole), shot by headless Chromium over its
# DevTools protocol once the 90-second graphs hold some history.
live_shots() {
    local chromium=${CHROMIUM:-/usr/bin/chromium} port
    if [ ! -x "$build/linewatchd" ] || [ ! -x "$chromium" ] || ! command -v python3 >/dev/null; then
        echo "warning: linewatchd, $chromium or python3 is missing: live-*.png not taken" >&2
        return 0
    fi
    mkdir -p "$demo/live/home"
    "$build/linewatch-historyfill" --calls 700 --days 31 --seed 7 "$demo/live/history.sqlite" >/dev/null
    port=$(lw_free_port 18180 18280) || port=18180
    printf '%s\r\n' '[Connection]' 'TelnetAddress=127.0.0.1' "TelnetPort=$sim_port" 'RememberPassword=1' \
        'Password=nnnn' '[Startup]' 'ConnectAtStartup=1' 'CheckForUpdates=0' \
        '[RemoteAdmin]' 'Telnet=0' 'Web=1' "WebPort=$port" '[Network]' 'BindAddress=127.0.0.1' \
        '[Logging]' 'Database=history.sqlite' >"$demo/live/linewatch.ini"
    HOME=$demo/live/home XDG_STATE_HOME=$demo/live/home XDG_DATA_HOME=$demo/live/home \
        "$build/linewatchd" --config "$demo/live/linewatch.ini" >"$demo/live/daemon.log" 2>&1 &
    daemon_pid=$!
    # A minute of usage would fill the graphs; a third of that shows their shape.
    sleep "${LINEWATCH_LIVE_DELAY:-20}"
    python3 "$root/tests/remote/live_browser.py" --screenshot "$chromium" "$port" "$demo/live" || {
        echo "warning: the live page's pictures failed:" >&2
        tail -n 5 "$demo/live/daemon.log" >&2
        kill "$daemon_pid"
        wait "$daemon_pid" 2>/dev/null || true
        daemon_pid=
        return 0
    }
    kill "$daemon_pid"
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=
    mv "$demo"/live/live-*.png "$out/"
}
if [ "$only" = live ]; then
    live_shots
    ls -l "$out"/live-*.png
    exit 0
fi

# The desktop the monitor runs on: with dunst, a session bus of its own whose notification service
# shows the incoming call's bubble in the screen's top right corner until the pictures are taken.
# The icon is found by name, as an installed program's is.
screen_width=1280
bubble_region=
desktop=()
if command -v dunst >/dev/null && command -v dbus-run-session >/dev/null && command -v dbus-send >/dev/null; then
    mkdir -p "$demo/icons"
    cp "$root/resources/linewatch-48.png" "$demo/icons/linewatch.png"
    cat >"$demo/dunstrc" <<EOF
[global]
    follow = none
    width = 380
    height = 150
    origin = top-right
    offset = 20x20
    font = DejaVu Sans 10
    format = "<small>%a</small>\n<b>%s</b>\n%b"
    frame_width = 1
    frame_color = "#5a6e82"
    separator_height = 0
    padding = 10
    horizontal_padding = 10
    corner_radius = 4
    icon_position = left
    min_icon_size = 48
    max_icon_size = 48
    icon_path = $demo/icons
[urgency_low]
    background = "#f4f6f8"
    foreground = "#1c2630"
    timeout = 0
[urgency_normal]
    background = "#f4f6f8"
    foreground = "#1c2630"
    timeout = 0
[urgency_critical]
    background = "#fff1ee"
    foreground = "#1c2630"
    frame_color = "#c0392b"
    timeout = 0
EOF
    cat >"$demo/desktop.sh" <<'EOF'
#!/usr/bin/env bash
# Inside the private session bus: dunst, and once it owns the notification service, the monitor.
dunst -config "$DEMO/dunstrc" >"$DEMO/dunst.log" 2>&1 &
dunst_pid=$!
for _ in $(seq 50); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null |
        grep -q 'boolean true' && break
    sleep 0.1
done
"$DEMO/linewatch"
status=$?
kill "$dunst_pid" 2>/dev/null
wait "$dunst_pid" 2>/dev/null
exit "$status"
EOF
    chmod +x "$demo/desktop.sh"
    desktop=(dbus-run-session -- "$demo/desktop.sh")
    bubble_region="$((screen_width - 440)),0,440,114"
else
    echo "warning: dunst, dbus-run-session or dbus-send is missing: notification.png not taken" >&2
    desktop=("$demo/linewatch")
fi

# The window's pictures are taken after the delay; the web page is shot a few seconds before, while
# the monitor still serves it, once the usage table holds some seconds of history.
delay=${LINEWATCH_SCREENSHOT_DELAY:-24}
rm -f "$out/screen.png"
DEMO="$demo" LINEWATCH_SCREENSHOT_DIR="$out" LINEWATCH_SCREENSHOT_DELAY="$delay" \
    LINEWATCH_SCREENSHOT_SCREEN="$bubble_region" \
    xvfb-run -a -s "-screen 0 ${screen_width}x1024x24" "${desktop[@]}" &
monitor_pid=$!
started=$SECONDS

chromium=${CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ] || ! command -v curl >/dev/null; then
    echo "warning: $chromium or curl is missing: webpage.png not taken" >&2
else
    url="http://127.0.0.1:$web_port/"
    live=
    while [ $((SECONDS - started)) -lt $((delay - 4)) ]; do
        # Live figures: B1's Link shows the simulator's state word instead of "No Data".
        if page=$(curl -s -m 2 "$url") && [ -n "$page" ] &&
            ! printf '%s' "$page" | tr -d '\r\n' | grep -q 'Link:</td> *<td[^>]*>No Data'; then
            live=1
            break
        fi
        sleep 0.25
    done
    if [ -z "$live" ]; then
        echo "warning: $url showed no figures from the simulator: webpage.png not taken" >&2
    else
        # Three quarters of the way: the page's usage table fills in five-second columns.
        while [ $((SECONDS - started)) -lt $((delay * 3 / 4)) ]; do
            sleep 0.25
        done
        mkdir -p "$demo/chromium"
        # Chromium's own services are off, and every host name but 127.0.0.1 fails to resolve, so
        # the shot never reaches beyond this machine.
        timeout 60 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
            --disable-background-networking --disable-component-update --disable-sync \
            --dns-prefetch-disable --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE 127.0.0.1" \
            --hide-scrollbars --user-data-dir="$demo/chromium" --window-size=800,770 \
            --screenshot="$out/webpage.png" "$url" >"$demo/chromium.log" 2>&1 || {
            echo "warning: chromium failed: webpage.png not taken" >&2
            tail -n 5 "$demo/chromium.log" >&2
        }
    fi
fi

wait "$monitor_pid"
monitor_pid=
if [ -f "$out/screen.png" ]; then
    mv "$out/screen.png" "$out/notification.png"
fi

# The same tabs in German (status-de.png ...), from a second run against the same simulator.
LANGUAGE=de LANG=de_DE.UTF-8 LC_ALL= LINEWATCH_SCREENSHOT_DIR="$demo/de" LINEWATCH_SCREENSHOT_DELAY="$delay" \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$demo/linewatch" &
monitor_pid=$!
wait "$monitor_pid"
monitor_pid=
for tab in status graph history settings about; do
    mv "$demo/de/$tab.png" "$out/$tab-de.png"
done

# The error box of a router that is not there: a free port on 127.0.0.1 that nothing listens on.
mkdir "$demo/refused"
cp "$build/linewatch" "$demo/refused/linewatch"
refused_port=$(lw_free_port 19000 19100) || refused_port=19000
printf '%s\r\n' '[Connection]' 'TelnetAddress=127.0.0.1' "TelnetPort=$refused_port" \
    '[Startup]' 'ConnectAtStartup=1' 'CheckForUpdates=0' '[Reconnect]' 'Enabled=0' '[Logging]' 'Enabled=0' \
    >"$demo/refused/linewatch.ini"
LINEWATCH_SCREENSHOT_DIR="$demo/refused/shots" LINEWATCH_SCREENSHOT_DELAY=3 \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$demo/refused/linewatch" 2>/dev/null &
monitor_pid=$!
wait "$monitor_pid"
monitor_pid=
mv "$demo/refused/shots/errorbox.png" "$out/errorbox.png"

live_shots
ls -l "$out"
