#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the live page costs, on 127.0.0.1:
#  (a) three linewatchd side by side, each on its own router simulator with an idle line (nothing
#      changes). (a1) one with 100 EventSource-like clients of /events (the server keeps 64
#      streams; a stream closed for the bound is told to come back after 30 s or more, and the
#      clients do as browsers do), one with 100 clients polling /status.json once a second, one
#      with no clients; the server CPU of each over SECONDS and the ratios (target: the streams'
#      clients at most half the polling). (a2) 64 open streams, the bound, on one monitor against
#      none on another over the same SECONDS, the two swapping sides each of RUNS rounds; the
#      median ratio (target: at most 1.1);
#  (b) /live and its files against nginx serving the same files (one worker, keep-alive off), by
#      bench/webcompare.sh and lw_webload;
#  (c) the first figures after navigation in headless Chromium (performance timing), median of
#      RUNS, by tests/remote/live_browser.py --timing, on a busy simulated line.
# Usage: bench/livecompare.sh [BUILD_DIR] [SECONDS] [RUNS] [PARTS]   (defaults: build-release, 60,
# 5, abc; BUILD_DIR holds linewatchd, linewatch-routersim and bench/lw_webload: a release build;
# PARTS names the parts to run)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build-release}" && pwd)"
seconds="${2:-60}"
runs="${3:-5}"
parts="${4:-abc}"
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

if [[ $parts == *a* ]]; then
# (a) An idle router: both channels idle, figures fixed.
printf 'live off\ninterval-ms 1000\ncall b1 idle\ncall b2 idle\nset name office-gw\n' >"$work/idle.txt"
monitor streams "$work/idle.txt"
streams_web=$web streams_pid=$daemon
monitor polling "$work/idle.txt"
polling_web=$web polling_pid=$daemon
monitor none "$work/idle.txt"
none_web=$web none_pid=$daemon

# The clients, from one Python process: N EventSource-like readers of one server (a closed
# stream comes back after the last retry: it was sent, as EventSource does), and M pollers of
# another spread over the second.
cat >"$work/clients.py" <<'EOF'
import re, selectors, socket, sys, time
streams_port, streams, polling_port, pollers = (int(a) for a in sys.argv[1:5])
seconds = float(sys.argv[5])
sel = selectors.DefaultSelector()
retry_field = re.compile(rb"(?:^|\n)retry: ?(\d+)\n")
class Conn:
    def __init__(self, path):
        self.path, self.tail, self.retry_ms = path, b"", 3000
def request(port, path):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    s.setblocking(False)
    sel.register(s, selectors.EVENT_READ, Conn(path))
for _ in range(streams):
    request(streams_port, "/events")
end = time.monotonic() + seconds
next_poll = [time.monotonic() + k / pollers for k in range(pollers)]
reconnect_at = []
answers = events = reconnects = 0
waits = []
while time.monotonic() < end:
    now = time.monotonic()
    for k, due in enumerate(next_poll):
        if due <= now:
            request(polling_port, "/status.json")
            next_poll[k] = due + 1
    reconnect_at.sort()
    while reconnect_at and reconnect_at[0] <= now:
        reconnect_at.pop(0)
        request(streams_port, "/events")
        reconnects += 1
    for key, _ in sel.select(timeout=0.01):
        conn = key.data
        data = key.fileobj.recv(65536)
        if conn.path == "/events":
            events += data.count(b"\n\n")
            conn.tail = (conn.tail + data)[-256:]
            for m in retry_field.finditer(conn.tail):
                conn.retry_ms = int(m.group(1))
        if not data:
            sel.unregister(key.fileobj)
            key.fileobj.close()
            if conn.path == "/events":
                waits.append(conn.retry_ms / 1000)
                reconnect_at.append(time.monotonic() + conn.retry_ms / 1000)
            else:
                answers += 1
line = f"  clients: {answers} /status.json answers; {events} stream frames (headers and keep-alives included)"
if waits:
    waits.sort()
    line += f"; {reconnects} stream reconnects, retry: {waits[0]:.1f} to {waits[-1]:.1f} s (median {waits[len(waits) // 2]:.1f})"
print(line)
EOF

# CPU seconds of PID over the next SECONDS, written to FILE.
cpu_over() { local before; before=$(cpu_ns "$1"); sleep "$seconds"; echo $(($(cpu_ns "$1") - before)) >"$2"; }

echo "(a1) idle router, ${seconds} s: linewatchd with 100 /events clients (at most 64 streams are kept,"
echo "     the rest come back after retry:), with 100 /status.json pollers, with none"
python3 "$work/clients.py" "$streams_web" 100 "$polling_web" 100 $((seconds + 4)) &
clients=$!
pids+=("$clients")
sleep 2 # every stream open, the polling under way
before_s=$(cpu_ns "$streams_pid") before_p=$(cpu_ns "$polling_pid") before_n=$(cpu_ns "$none_pid")
sleep "$seconds"
after_s=$(cpu_ns "$streams_pid") after_p=$(cpu_ns "$polling_pid") after_n=$(cpu_ns "$none_pid")
wait "$clients"
awk -v s=$((after_s - before_s)) -v p=$((after_p - before_p)) -v n=$((after_n - before_n)) -v t="$seconds" 'BEGIN {
    printf "  100 clients  CPU %7.3f s (%5.2f %%)\n", s / 1e9, 100 * s / 1e9 / t
    printf "  100 pollers  CPU %7.3f s (%5.2f %%)\n", p / 1e9, 100 * p / 1e9 / t
    printf "  no clients   CPU %7.3f s (%5.2f %%)\n", n / 1e9, 100 * n / 1e9 / t
    printf "  clients / pollers %.3f (target <= 0.5), clients / no clients %.3f\n", s / p, s / n }'

# (a2) The bound itself: 64 open streams that nobody closes, on one of two idle monitors, the
# other without streams, measured over the same window; the monitors swap sides each round, so
# that neither's own pace decides the ratio.
echo
echo "(a2) idle router, $runs rounds of ${seconds} s: linewatchd with 64 /events streams against one with none"
ratios=()
for round in $(seq "$runs"); do
    if [ $((round % 2)) = 1 ]; then
        with_web=$streams_web with_pid=$streams_pid without_pid=$none_pid
    else
        with_web=$none_web with_pid=$none_pid without_pid=$streams_pid
    fi
    python3 "$work/clients.py" "$with_web" 64 "$polling_web" 0 $((seconds + 4)) >"$work/round.txt" &
    clients=$!
    pids+=("$clients")
    sleep 2
    cpu_over "$with_pid" "$work/with" &
    cpu_over "$without_pid" "$work/without"
    wait "$!"
    wait "$clients"
    with=$(cat "$work/with") without=$(cat "$work/without")
    ratios+=("$(awk -v w="$with" -v n="$without" 'BEGIN { printf "%.3f", w / n }')")
    awk -v w="$with" -v n="$without" -v r="$round" -v t="$seconds" 'BEGIN {
        printf "  round %d: 64 streams CPU %.4f s (%.3f %%), none %.4f s (%.3f %%), ratio %.3f\n",
            r, w / 1e9, 100 * w / 1e9 / t, n / 1e9, 100 * n / 1e9 / t, w / n }'
    sed 's/^ */    /' "$work/round.txt"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END {
    printf "  64 streams / no streams: median %.3f (from %.3f to %.3f; target <= 1.1)\n", r[int((NR + 1) / 2)], r[1], r[NR] }'

fi

if [[ $parts == *b* ]]; then
echo
echo "(b) /live and its files against nginx (one worker, keep-alive off)"
"$root/bench/webcompare.sh" "$build" 5000 5 --path /live --path /live/live.js --path /live/live.css
fi
[[ $parts == *c* ]] || exit 0

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
