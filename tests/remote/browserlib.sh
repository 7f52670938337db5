# SPDX-License-Identifier: MIT
# What the two browser checks share: finding headless Chromium, loading a status page in it, and
# the checks on the page it built for the sample router "office-gw" at 127.0.0.1. Source it after
# defining fail MESSAGE; defines functions only.
# shellcheck shell=bash

# lw_chromium: prints the Chromium program; fails when none is installed.
lw_chromium() {
    command -v chromium || command -v chromium-browser
}

# lw_load_page BROWSER URL OUT_DIR: the DOM the browser built from URL into OUT_DIR/statuspage.dom.html
# and a screenshot into OUT_DIR/statuspage.png; its messages go to OUT_DIR/chromium.log.
lw_load_page() {
    local browser=$1 url=$2 out_dir=$3
    # A throw-away profile, no sandbox (CI runs as root), nothing fetched but the page itself.
    local common=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-extensions
        --disable-background-networking --disable-component-update --disable-sync
        "--user-data-dir=$out_dir/profile")
    timeout 60 "$browser" "${common[@]}" --dump-dom "$url" >"$out_dir/statuspage.dom.html" \
        2>"$out_dir/chromium.log" || fail "chromium"
    timeout 60 "$browser" "${common[@]}" --window-size=1000,1000 --hide-scrollbars \
        "--screenshot=$out_dir/statuspage.png" "$url" 2>>"$out_dir/chromium.log" || fail "chromium screenshot"
}

# lw_check_page DOM: title, heading, the one table of 31 rows, both channels and a grouped counter.
lw_check_page() {
    local dom=$1
    grep -q '<title>office-gw (127.0.0.1) - Brelwick Router Monitor</title>' "$dom" || fail "title"
    grep -q 'Router Status: office-gw (127.0.0.1)' "$dom" || fail "heading"
    # The browser parsed one table: 31 rows, the chart cells among them.
    [ "$(grep -o '<table' "$dom" | wc -l)" -eq 1 ] || fail "one table"
    [ "$(grep -o '<tr>' "$dom" | wc -l)" -eq 31 ] || fail "31 rows"
    grep -q 'ISDN Channel B1' "$dom" || fail "B1 header"
    grep -q 'ISDN Channel B2' "$dom" || fail "B2 header"
    grep -q '1,234,567' "$dom" || fail "grouped counter"
}
