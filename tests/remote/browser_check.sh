#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Loads the web status page in headless Chromium from a server on 127.0.0.1, checks the title and
# the table of the page the browser built, and saves a screenshot to look at.
# Usage: browser_check.sh SERVER_PROGRAM OUTPUT_DIR
# Exits 77 (skipped) when no Chromium is installed.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"
# shellcheck source=SCRIPTDIR/browserlib.sh
. "$(dirname "$0")/browserlib.sh"

fail() {
    echo "browser check failed: $*" >&2
    exit 1
}

server_program=$1
out_dir=$2
mkdir -p "$out_dir"

if ! browser=$(lw_chromium); then
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

dom="$out_dir/statuspage.dom.html"
lw_load_page "$browser" "http://127.0.0.1:$port/" "$out_dir"
lw_check_page "$dom"
grep -q 'Accessed 1 times' "$dom" || fail "page counter"
[ -s "$out_dir/statuspage.png" ] || fail "no screenshot"

echo "browser check passed: $out_dir/statuspage.png"
