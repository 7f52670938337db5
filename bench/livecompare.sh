#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the live page costs, on 127.0.0.1:
#  (a) three linewatchd side by side, each on its own router simulator with an idle line (nothing
#      changes): one with 100 EventSource-like clients of /events (reconnecting after retry: as
#      browsers do, since the server keeps 64 streams), one with 100 clients polling /status.json
#      once a second, one with no clients; the server CPU of each over SECONDS and the ratios
#      (targets: streams at most half the polling, at most 1.1x no clients);
#  (b) /live and its files against nginx serving the same files (one worker, keep-alive off), by
#      bench/webcompare.sh and lw_webload;
#  (c) the first figures after navigation in headless Chromium (performance timing), median of
#      RUNS, by tests/remote/live_browser.py --timing, on a busy simulated line.
# Usage: bench/livecompare.sh [BUILD_DIR] [SECONDS] [RUNS]   (defaults: build-release, 60, 5;
# BUILD_DIR holds linewatchd, linewatch-routersim and bench/lw_webload: a release build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build-release}" && pwd)"
seconds="${2:-60}"
runs="${3:-5}"
# shellcheck source=SCRIPTDIR/../tools/lib.sh
. "$root/tools/lib.sh"
lw_scratch

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# A monitor of a new simulator running SCRIPT, its web server on a free port; sets web and
# daemon. "nnnn" is the stored form of the simulator's password 1234.
monitor() {
    local name=$1 script=$2 sim_port
    mkdir -p "$work/$name"
    "$build/linewatch-routersim" --port 0 --seed 7 --script "$script" >"$work/$name/sim.log" &
    pids+=($!)
    sim_port=$(lw_wait_simulator "$work/$name/sim.log")
    web=$(free_port)
    printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\n[RemoteAdmin]\r\nWeb=1\r\nWebPort=%s\r\n[Network]\r\nBindAddress=127.0.0.1\r\n[Logging]\r\nEnabled=0\r\n' \
        "$sim_port" "$web" >"$work/$name/linewatch.ini"
    STATE_DIRECTORY="$work/$name" "$build/linewatchd" --config "$work/$name/linewatch.ini" 2>"$work/$name/daemon.log" &
    daemon=$!
    pids+=("$daemon")
    for _ in $(seq 100); do
        curl -s -m 2 "http://127.0.0.1:$web/status.json" 2>/dev/null | grep -q 'status_screen' && return 0
        sleep 0.2
    done
    echo "linewatchd ($name) did not reach the status screen" >&2
    exit 1
}

# CPU nanoseconds of every thread of PID so far.
cpu_ns() { awk '{n += $1} END {print n + 0}' /proc/"$1"/task/*/schedstat; }

# (a) An idle router: both channels idle, figures fixed.
printf 'live off\ninterval-ms 1000\ncall b1 idle\ncall b2 idle\nset name office-gw\n' >"$work/idle.txt"
monitor streams "$work/idle.txt"
streams_web=$web streams_pid=$daemon
monitor polling "$work/idle.txt"
polling_web=$web polling_pid=$daemon
monitor none "$work/idle.txt"
none_pid=$daemon

# The clients: 100 EventSource-like readers of one server, 100 pollers of the other, spread over
# the second, from one Python process.
cat >"$work/clients.py" <<'EOF'
import selectors, socket, sys, time
streams_port, polling_port, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
sel = selectors.DefaultSelector()
def request(port, path):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    s.setblocking(False)
    sel.register(s, selectors.EVENT_READ, path)
for _ in range(100):
    request(streams_port, "/events")
end = time.monotonic() + seconds
next_poll = [time.monotonic() + k / 100 for k in range(100)]
reconnect_at = []
answers = events = reconnects = 0
while time.monotonic() < end:
    now = time.monotonic()
    for k, due in enumerate(next_poll):
        if due <= now:
            request(polling_port, "/status.json")
            next_poll[k] = due + 1
    # A closed stream comes back after the server's retry: field, as EventSource does.
    while reconnect_at and reconnect_at[0] <= now:
        reconnect_at.pop(0)
        request(streams_port, "/events")
        reconnects += 1
    for key, _ in sel.select(timeout=0.01):
        data = key.fileobj.recv(65536)
        if key.data == "/events":
            events += data.count(b"\n\n")
        if not data:
            sel.unregister(key.fileobj)
            key.fileobj.close()
            if key.data == "/events":
                reconnect_at.append(time.monotonic() + 3)
            else:
                answers += 1
print(f"  clients: {answers} /status.json answers; {events} stream frames (headers and keep-alives "
      f"included), {reconnects} stream reconnects (at most {64} streams are kept)")
EOF
echo "(a) idle router, ${seconds} s: linewatchd with 100 /events streams, with 100 /status.json pollers, with none"
python3 "$work/clients.py" "$streams_web" "$polling_web" $((seconds + 4)) &
clients=$!
pids+=("$clients")
sleep 2 # every stream open, the polling under way
before_s=$(cpu_ns "$streams_pid") before_p=$(cpu_ns "$polling_pid") before_n=$(cpu_ns "$none_pid")
sleep "$seconds"
after_s=$(cpu_ns "$streams_pid") after_p=$(cpu_ns "$polling_pid") after_n=$(cpu_ns "$none_pid")
wait "$clients"
awk -v s=$((after_s - before_s)) -v p=$((after_p - before_p)) -v n=$((after_n - before_n)) -v t="$seconds" 'BEGIN {
    printf "  100 streams  CPU %7.3f s (%5.2f %%)\n", s / 1e9, 100 * s / 1e9 / t
    printf "  100 pollers  CPU %7.3f s (%5.2f %%)\n", p / 1e9, 100 * p / 1e9 / t
    printf "  no clients   CPU %7.3f s (%5.2f %%)\n", n / 1e9, 100 * n / 1e9 / t
    printf "  streams / pollers %.3f (target <= 0.5), streams / no clients %.3f (target <= 1.1)\n", s / p, s / n }'

echo
echo "(b) /live and its files against nginx (one worker, keep-alive off)"
"$root/bench/webcompare.sh" "$build" 5000 5 --path /live --path /live/live.js --path /live/live.css

echo
echo "(c) first figures after navigation, headless Chromium at 1280x800, $runs runs"
chromium=${CHROMIUM:-$(command -v chromium || true)}
if [ -z "$chromium" ]; then
    echo "  chromium is not installed: skipped"
    exit 0
fi
printf 'interval-ms 250\ncall b1 data\ncall b2 voice 5551234\nset name office-gw\n' >"$work/busy.txt"
monitor busy "$work/busy.txt"
mkdir -p "$work/chromium"
python3 "$root/tests/remote/live_browser.py" --timing "$chromium" "$web" "$work/chromium" "$runs" | sed 's/^/  /'
