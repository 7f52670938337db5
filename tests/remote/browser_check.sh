#!/usr/bin/env bash
# Loads the web status page in headless Chromium from a server on 127.0.0.1, checks the title and
# the table of the page the browser built, and saves a screenshot to look at.
# Usage: browser_check.sh SERVER_PROGRAM OUTPUT_DIR
# Exits 77 (skipped) when no Chromium is installed.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

server_program=$1
out_dir=$2
mkdir -p "$out_dir"

browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
    echo "chromium not installed: skipped"
    exit 77
fi

port_file="$out_dir/server.out"
"$server_program" 60 >"$port_file" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT

if ! port=$(lw_wait_port "$port_file" 'port '); then
    echo "the status page server did not start" >&2
    exit 1
fi

url="http://127.0.0.1:$port/"
# A throw-away profile, no sandbox (CI runs as root), nothing fetched but the page itself.
common=(--headless --no-sandbox --disable-gpu --no-first-run --disable-extensions
    --disable-background-networking --disable-component-update --disable-sync
    "--user-data-dir=$out_dir/profile")

dom="$out_dir/statuspage.dom.html"
timeout 60 "$browser" "${common[@]}" --dump-dom "$url" >"$dom" 2>"$out_dir/chromium.log"
timeout 60 "$browser" "${common[@]}" --window-size=1000,1000 --hide-scrollbars \
    "--screenshot=$out_dir/statuspage.png" "$url" 2>>"$out_dir/chromium.log"

fail() {
    echo "browser check failed: $*" >&2
    exit 1
}

grep -q '<title>office-gw (127.0.0.1) - Brelwick Router Monitor</title>' "$dom" || fail "title"
grep -q 'Router Status: office-gw (127.0.0.1)' "$dom" || fail "heading"
# The browser parsed one table: 31 rows, the chart cells among them.
[ "$(grep -o '<table' "$dom" | wc -l)" -eq 1 ] || fail "one table"
[ "$(grep -o '<tr>' "$dom" | wc -l)" -eq 31 ] || fail "31 rows"
grep -q 'ISDN Channel B1' "$dom" || fail "B1 header"
grep -q 'ISDN Channel B2' "$dom" || fail "B2 header"
grep -q '1,234,567' "$dom" || fail "grouped counter"
grep -q 'Accessed 1 times' "$dom" || fail "page counter"
[ -s "$out_dir/statuspage.png" ] || fail "no screenshot"

echo "browser check passed: $out_dir/statuspage.png"
