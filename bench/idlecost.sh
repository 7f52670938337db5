#!/usr/bin/env bash
# Idle cost of the monitor beside a bare Qt Widgets program that rewrites one label a second:
# CPU time, wake-ups (context switches of all threads) and resident memory over SECONDS, on a
# private Xvfb display, with the router simulator on 127.0.0.1 repainting the status screen once
# a second. The two run side by side and are measured over the same seconds, first with the
# monitor's window shown, then with it unmapped, so that a machine's passing load or clock speed
# weighs on both alike; the ratios close the output.
# Usage: bench/idlecost.sh BUILD_DIR [SECONDS]   (BUILD_DIR holds linewatch, linewatch-routersim
# and bench/lw_bareclock; a release build is the fair one)
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="${2:-60}"
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
for _ in $(seq 50); do grep -q '^listening on' "$work/sim.log" && break; sleep 0.1; done
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

# CPU time, wake-ups (context switches of all threads) and resident memory of the monitor and the
# bare program over the same SECONDS, one line each; the figures go to $work/NAME too. A thread
# that ends within them takes its share with it; one that starts counts in full.
measure()
{
    local phase="$1" pid
    for pid in "$app" "$bare"; do threads "$pid" >"$work/before.$pid"; done
    sleep "$seconds"
    for pid in "$app" "$bare"; do threads "$pid" >"$work/after.$pid"; done
    report "linewatch (window $phase)" "$app" "$work/$phase"
    report "bare Qt label, once a second" "$bare" "$work/bare.$phase"
}

report()
{
    local name="$1" pid="$2" out="$3"
    awk -v n="$name" -v s="$seconds" -v out="$out" -v rss="$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")" '
        NR == FNR { cpu[$1] = $2; sw[$1] = $3; next }
        { c += $2 - cpu[$1]; w += $3 - sw[$1] }
        END {
            printf "%-28s CPU %7.3f s (%5.3f %%), wake-ups %6d (%5.1f/s), resident %6d KiB\n",
                n, c / 1e9, 100 * c / 1e9 / s, w, w / s, rss
            print c, rss > out }' "$work/before.$pid" "$work/after.$pid"
}

ratio()
{
    read -r cpu rss <"$work/$1"
    read -r barecpu barerss <"$work/bare.$1"
    awk -v p="$1" -v c="$cpu" -v bc="$barecpu" -v r="$rss" -v br="$barerss" 'BEGIN {
        printf "window %-9s CPU %.2fx, resident memory %.3fx the bare program (targets: at most 1.25x)\n",
            p ":", (bc > 0 ? c / bc : 0), r / br }'
}

"$work/app/linewatch" >"$work/app.log" 2>&1 &
app=$!
pids+=($app)
"$build/bench/lw_bareclock" >/dev/null 2>&1 &
bare=$!
pids+=($bare)
sleep 5 # start-up, login and the first screens are not idle
measure shown
grep -q 'login ok' "$work/sim.log" || echo "note: the monitor did not log in to the simulator" >&2
# Xvfb has no notification area to hide the window in (closing it would only ask to minimise it,
# and there is no window manager to do that), so the window is unmapped as a window manager
# minimises it: nothing of it is drawn, and the monitor goes on refreshing.
if python3 - "$display" "Brelwick ISDN Router Monitor" <<'EOF'; then
# Finds the top-level window whose WM_NAME starts with the title and unmaps it, speaking the X11
# protocol over the display's local socket (no client library needed).
import socket, struct, sys

display, title = sys.argv[1], sys.argv[2].encode()
x = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
x.connect("/tmp/.X11-unix/X" + display.lstrip(":").split(".")[0])


def read(n):
    data = b""
    while len(data) < n:
        chunk = x.recv(n - len(data))
        if not chunk:
            sys.exit("the X server closed the connection")
        data += chunk
    return data


def reply():
    head = read(32)
    if head[0] != 1:
        sys.exit("X error %d" % head[1])
    return head + read(struct.unpack("<I", head[4:8])[0] * 4)


x.sendall(struct.pack("<BxHHHHxx", ord("l"), 11, 0, 0, 0))
head = read(8)
if head[0] != 1:
    sys.exit("the X server refused the connection")
setup = read(struct.unpack("<H", head[6:8])[0] * 4)
vendor, formats = struct.unpack("<H", setup[16:18])[0], setup[21]
root = struct.unpack("<I", setup[32 + (vendor + 3) // 4 * 4 + 8 * formats:][:4])[0]
x.sendall(struct.pack("<BxHI", 15, 2, root))  # QueryTree
tree = reply()
for i in range(struct.unpack("<H", tree[16:18])[0]):
    window = struct.unpack("<I", tree[32 + 4 * i : 36 + 4 * i])[0]
    x.sendall(struct.pack("<BBHIIIII", 20, 0, 6, window, 39, 0, 0, 64))  # GetProperty WM_NAME
    name = reply()
    if name[32 : 32 + struct.unpack("<I", name[16:20])[0]].startswith(title):
        x.sendall(struct.pack("<BxHI", 10, 2, window))  # UnmapWindow
        x.sendall(struct.pack("<BxH", 43, 1))  # GetInputFocus: its reply follows the unmap
        reply()
        sys.exit(0)
sys.exit("no window named " + sys.argv[2])
EOF
    measure unmapped
else
    echo "note: the window could not be unmapped (python3 is needed)" >&2
fi
kill "$app" # SIGTERM: the monitor exits as through its tray menu
ratio shown
if [ -f "$work/unmapped" ]; then ratio unmapped; fi
