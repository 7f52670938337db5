#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Reset flood: the desktop program (offscreen, web page and relay on 127.0.0.1, the router
# simulator behind it) while clients connect, send half a request and close with a reset, as fast
# as they can, on the web port, the relay port or both. Prints the resets a second, the status
# page's answer time half-way through and after, the lines the program wrote to standard error, and
# its resident memory and descriptors before and after.
# Usage: bench/resetflood.sh BUILD_DIR [SECONDS] [web|relay|both]   (defaults: 15, both)
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="${2:-15}"
target="${3:-both}"
# shellcheck source=../tools/lib.sh
. "$(dirname "$0")/../tools/lib.sh"
lw_scratch

"$build/linewatch-routersim" --port 0 --seed 7 >"$work/sim.log" &
pids+=($!)
port="$(lw_wait_simulator "$work/sim.log")"
web="$(lw_free_port 18100 18199)"
relay="$(lw_free_port $((web + 1)) 18299)"

# A portable copy: the settings beside the program connect it to the simulator (password 1234,
# stored scrambled as "nnnn") and open the page and the relay on 127.0.0.1 only.
mkdir "$work/app"
cp "$build/linewatch" "$work/app/"
printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nMaskPassword=1\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\nShowStatus=1\r\n[RemoteAdmin]\r\nWeb=1\r\nWebPort=%s\r\nTelnet=1\r\nTelnetPort=%s\r\n[Network]\r\nBindAddress=127.0.0.1\r\n' \
    "$port" "$web" "$relay" >"$work/app/linewatch.ini"
XDG_DATA_HOME="$work/data" QT_QPA_PLATFORM=offscreen "$work/app/linewatch" 2>"$work/err.log" &
app=$!
pids+=($app)
for _ in $(seq 100); do grep -q 'login ok' "$work/sim.log" && break; sleep 0.1; done

state() {
    printf '%s: resident %s KiB, descriptors %s, lines written %s\n' "$1" \
        "$(awk '/^VmRSS/ {print $2}' "/proc/$app/status")" "$(find "/proc/$app/fd" -mindepth 1 | wc -l)" \
        "$(wc -l <"$work/err.log")"
}
page() {
    curl -s -o /dev/null -w "page $1: %{http_code}, first byte after %{time_starttransfer} s\n" "http://127.0.0.1:$web/"
}

# One flooding client: connect, send part of a request, close with a reset (SO_LINGER 0).
flood() {
    python3 - "$1" "$seconds" "$2" <<'EOF'
import socket, struct, sys, time
port, duration, payload = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3].encode()
done = failed = 0
start = time.time()
while time.time() - start < duration:
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    try:
        s.connect(("127.0.0.1", port))
        s.send(payload)
        done += 1
    except OSError:
        failed += 1
    s.close()
print(f"port {port}: {done} resets in {duration:.0f} s = {done / duration:.0f}/s ({failed} connects failed)")
EOF
}

state before
flooders=()
if [ "$target" != relay ]; then
    flood "$web" "GET / HT" &
    flooders+=($!)
fi
if [ "$target" != web ]; then
    flood "$relay" "x" &
    flooders+=($!)
fi
sleep $((seconds / 2))
page "during the flood"
wait "${flooders[@]}"
sleep 2
page "after the flood"
kill -0 "$app" 2>/dev/null || { echo "the monitor ended during the flood" >&2; exit 1; }
state after
