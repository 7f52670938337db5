#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the real program (offscreen) against the router simulator, both on 127.0.0.1, with the web
# server switched on by its settings file; loads the status page in headless Chromium, checks its
# title, table, figures and access counter, saves a screenshot, and ends the program with SIGTERM.
# Usage: program_browser_check.sh PROGRAM SIMULATOR OUTPUT_DIR
# Exits 77 (skipped) when no Chromium is installed.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"
# shellcheck source=SCRIPTDIR/browserlib.sh
. "$(dirname "$0")/browserlib.sh"

program=$1
simulator=$2
out_dir=$3

if ! browser=$(lw_chromium); then
    echo "chromium not installed: skipped"
    exit 77
fi

rm -rf "$out_dir"
mkdir -p "$out_dir/app"
# The program keeps linewatch.ini beside itself: a copy in a directory of its own.
cp "$program" "$out_dir/app/linewatch"

fail() {
    echo "program browser check failed: $*" >&2
    for log in sim.out program.err chromium.log; do
        [ -f "$out_dir/$log" ] && sed "s/^/$log: /" "$out_dir/$log" | tail -20 >&2
    done
    exit 1
}

sim_pid=""
program_pid=""
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
}
trap cleanup EXIT

# A steady router: known figures, no calls coming and going.
cat >"$out_dir/router.txt" <<'EOF'
live off
interval-ms 300
call b1 data
call b2 voice 5551234
set name office-gw
set ip 127.0.0.1
set b1.tx 1234567
set b1.clu 50
set b1.alu 50
EOF
"$simulator" --port 0 --password 1234 --script "$out_dir/router.txt" >"$out_dir/sim.out" 2>&1 &
sim_pid=$!
router_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"

# A port nobody listens on for the web server.
web_port=""
for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 12000)) # below the ephemeral range that clients draw from
    if lw_port_free "$candidate"; then
        web_port=$candidate
        break
    fi
done
[ -n "$web_port" ] || fail "no free port"

# "nnnn" is the stored form of the password 1234.
printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\n[RemoteAdmin]\r\nWebPort=%s\r\nWeb=1\r\n' \
    "$router_port" "$web_port" >"$out_dir/app/linewatch.ini"

LC_ALL=C QT_QPA_PLATFORM=offscreen "$out_dir/app/linewatch" >"$out_dir/program.out" 2>"$out_dir/program.err" &
program_pid=$!

# The page as a plain client sees it; each fetch builds one page.
fetch() {
    exec 3<>"/dev/tcp/127.0.0.1/$web_port" || return 1
    printf 'GET / HTTP/1.0\r\n\r\n' >&3
    timeout 5 cat <&3 || true
    exec 3<&-
}

fetches=0
ready=""
for _ in $(seq 1 150); do
    if page=$(fetch 2>/dev/null); then
        fetches=$((fetches + 1))
        if [[ $page == *"office-gw is running RAS S/W"* && $page == *"50%  (3.91KB/s)"* ]]; then
            ready=1
            break
        fi
    fi
    kill -0 "$program_pid" 2>/dev/null || fail "the program ended"
    sleep 0.2
done
[ -n "$ready" ] || fail "the page never showed the router's figures"
[[ $page == "HTTP/1.0 200 OK"* ]] || fail "status line"

dom="$out_dir/statuspage.dom.html"
lw_load_page "$browser" "http://127.0.0.1:$web_port/" "$out_dir"
lw_check_page "$dom"
grep -q 'office-gw is running RAS S/W' "$dom" || fail "system information"
# The B1 chart has filled cells in the line colour once the history holds the usage.
grep -q 'bgcolor="#00FF00"' "$dom" || fail "no usage drawn"
# Every page built counts: the plain fetches, then the browser's.
grep -q "Accessed $((fetches + 1)) times" "$dom" || fail "page counter (expected $((fetches + 1)))"
[ -s "$out_dir/statuspage.png" ] || fail "no screenshot"
# Serving the browser raised no error report (each would also open a box). Without a session bus
# the notifier says once that alerts show in the tray: that is no error.
! grep '^linewatch: ' "$out_dir/program.err" | grep -qv '^linewatch: desktop notifications: ' ||
    fail "an error was reported"

# SIGTERM ends the program as the tray menu's Exit does: settings saved, status 0.
kill -TERM "$program_pid"
status=0
wait "$program_pid" || status=$?
program_pid=""
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
grep -q $'^Web=1\r$' "$out_dir/app/linewatch.ini" || fail "settings not saved"
grep -q $'^WebAutoRefresh=1\r$' "$out_dir/app/linewatch.ini" || fail "settings not saved in full"

echo "program browser check passed: $out_dir/statuspage.png"
