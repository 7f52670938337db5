#!/usr/bin/env bash
# Takes a PNG of each tab of the monitor's window with live figures from the router simulator,
# under a virtual X server, into docs/screenshots/ (status, graph, settings, about, and the tray
# picture enlarged). Everything runs on 127.0.0.1 in a scratch directory.
#
#   tools/screenshots.sh [BUILD_DIR] [OUT_DIR]      (defaults: build, docs/screenshots)
#
# Needs xvfb-run (Debian's xvfb and xauth); the monitor saves the pictures itself through its
# LINEWATCH_SCREENSHOT_DIR hook, so no screen grabber is needed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/docs/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)

for program in "$build/linewatch" "$build/linewatch-routersim"; do
    if [ ! -x "$program" ]; then
        echo "missing $program: build the targets linewatch and linewatch-routersim first" >&2
        exit 1
    fi
done
command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed (apt-get install xvfb xauth)" >&2; exit 1; }

demo=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
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
sim_port=
for _ in $(seq 1 50); do
    sim_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$demo/sim.log")
    [ -n "$sim_port" ] && break
    sleep 0.1
done
if [ -z "$sim_port" ]; then
    echo "the router simulator did not start:" >&2
    cat "$demo/sim.log" >&2
    exit 1
fi

# A free port for the web status page, so the Settings tab shows the web server switched on.
web_port=
for candidate in $(seq 18080 18180); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        web_port=$candidate
        break
    fi
done
web_port=${web_port:-18080}

# The settings file lives beside the program, so the demo runs a copy of it. "nnnn" is the stored
# (scrambled) form of the simulator's password 1234.
cp "$build/linewatch" "$demo/linewatch"
printf '%s\r\n' \
    '[Connection]' 'TelnetAddress=127.0.0.1' "TelnetPort=$sim_port" 'MaskPassword=1' \
    'RememberPassword=1' 'Password=nnnn' \
    '[Startup]' 'ConnectAtStartup=1' 'CheckForUpdates=0' 'ShowStatus=1' \
    '[RemoteAdmin]' 'Telnet=0' 'TelnetPort=2323' 'Web=1' "WebPort=$web_port" \
    'WebAutoRefresh=1' 'WebAutoRefreshSeconds=10' >"$demo/linewatch.ini"
printf '%s\r\n' '[tcp]' '25=smtp' '80=http' >"$demo/services.ini"

LINEWATCH_SCREENSHOT_DIR="$out" LINEWATCH_SCREENSHOT_DELAY="${LINEWATCH_SCREENSHOT_DELAY:-15}" \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$demo/linewatch"

ls -l "$out"
