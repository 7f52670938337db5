#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds linewatch, starts the bundled router simulator on 127.0.0.1 and
# runs the monitor against it from a demo directory (demo/) whose settings connect at start and
# serve the web status page. Without a display the monitor runs on Qt's offscreen platform and the
# web page is the way to watch it. Ctrl-C ends both.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
. tools/lib.sh

tools/install-deps.sh
# The same configuration as the test command, so that one reuses this build.
cmake --preset dev -DLINEWATCH_WERROR=ON
cmake --build --preset dev -j "$(nproc)" --target linewatch linewatch-routersim

demo="$top/demo"
mkdir -p "$demo"
# --remove-destination: a copy still running from an earlier demo keeps its file.
cp --remove-destination build/linewatch "$demo/linewatch"

password=1234
simlog="$demo/routersim.log"
build/linewatch-routersim --port 0 --password "$password" >"$simlog" 2>&1 &
sim_pid=$!
monitor_pid=""

running() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${state#Z}" = "$state" ]
}

# SIGTERM, then SIGKILL after five seconds: the monitor ends on SIGTERM with its settings saved, and
# Ctrl-C must end the demo even should it not.
stop() {
    local pid=$1 name=$2
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 50); do
        running "$pid" || break
        sleep 0.1
    done
    if running "$pid"; then
        echo "The $name did not end within five seconds of SIGTERM; killing it." >&2
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    trap - INT TERM EXIT
    if [ -n "$monitor_pid" ]; then
        stop "$monitor_pid" monitor
    fi
    stop "$sim_pid" "router simulator"
    echo
    echo "Stopped the monitor and the router simulator."
}
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
trap cleanup EXIT

if ! port=$(lw_wait_simulator "$simlog"); then
    echo "The router simulator did not start; see $simlog" >&2
    exit 1
fi

# A free port for the web status page, tried from 8080 upwards.
webport=$(lw_free_port 8080 65535)

# Only the keys the demo needs; the monitor keeps the rest at their defaults and writes the whole
# file back when it ends. The password is stored scrambled: "1234" is kept as "nnnn". The version
# check stays off, so the demo never leaves this machine.
printf '%s\r\n' \
    '[Connection]' 'TelnetAddress=127.0.0.1' "TelnetPort=$port" 'RememberPassword=1' 'Password=nnnn' \
    '[Startup]' 'ConnectAtStartup=1' 'CheckForUpdates=0' \
    '[RemoteAdmin]' 'Telnet=0' "WebPort=$webport" 'Web=1' 'WebAutoRefresh=1' 'WebAutoRefreshSeconds=2' \
    >"$demo/linewatch.ini"

echo "Router simulator on 127.0.0.1:$port (password $password)."
echo "Web status page: http://127.0.0.1:$webport/"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running the monitor on the offscreen platform. Open the web page above to watch it."
    export QT_QPA_PLATFORM=offscreen
fi
echo "Press Ctrl-C to stop."
"$demo/linewatch" &
monitor_pid=$!
wait "$monitor_pid" || true
monitor_pid=""
