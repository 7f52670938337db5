#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the systemd units with systemd-analyze: `verify` on linewatchd.service and on an
# instance of the template (a template itself cannot be verified), with any warning counted as a
# failure, and the offline security review held at an exposure of 2.0 or less (1.5 when
# written; systemd still calls 4.9 "OK", so its rating alone would let the sandbox erode), and
# neither unit's state directory inside the other's.
# verify wants ExecStart's program and the Documentation= manual page to exist, so the copies start
# the built linewatchd when one is given and /bin/true otherwise, and man finds our page. Exits 77
# (skipped) where systemd-analyze is missing or cannot run.
# Usage: units_check.sh <directory of the unit files> [<linewatchd program>]
set -uo pipefail

units=$1
program=${2:-/bin/true}

if ! command -v systemd-analyze >/dev/null; then
    echo "SKIP: systemd-analyze not installed (Debian's systemd package provides it)"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A unit that cannot be wrong: if even this fails, the tool cannot run here (no systemd, a
# sandbox without /proc...), which says nothing about our units.
printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
if ! out=$(systemd-analyze verify "$work/probe.service" 2>&1); then
    echo "SKIP: systemd-analyze verify cannot run here: $out"
    exit 77
fi
rm "$work/probe.service"

# verify also opens the units' Documentation= manual page: ours, from beside the units.
mkdir -p "$work/man/man1"
cp "$units/../man/linewatchd.1" "$work/man/man1/"
export MANPATH="$work/man"

sed "s|/usr/bin/linewatchd|$program|" "$units/linewatchd.service" >"$work/linewatchd.service"
sed "s|/usr/bin/linewatchd|$program|" "$units/linewatchd@.service" >"$work/linewatchd@office.service"

failed=0
for unit in linewatchd.service linewatchd@office.service; do
    # verify reports unknown keys and bad values as warnings but still exits 0.
    if ! out=$(systemd-analyze verify "$work/$unit" 2>&1) || [ -n "$out" ]; then
        echo "FAIL: systemd-analyze verify $unit:"
        echo "$out"
        failed=1
    fi
    if systemd-analyze security --help 2>/dev/null | grep -q -- --offline; then
        if ! out=$(systemd-analyze security --offline=yes --threshold=20 "$work/$unit" 2>&1); then
            echo "FAIL: $unit is exposed beyond 2.0:"
            echo "$out" | grep -E '✗|Overall'
            failed=1
        fi
    fi
done

# The single unit's state directory once held the instances' (linewatch and linewatch/%i): one
# service could then read and clean up the others' histories.
single=$(sed -n 's/^StateDirectory=//p' "$units/linewatchd.service")
instance=$(sed -n 's/^StateDirectory=//p' "$units/linewatchd@.service" | sed 's/%i/office/g')
case "$instance/" in
"$single"/*)
    echo "FAIL: the template's StateDirectory=$instance lies inside the single unit's $single"
    failed=1
    ;;
esac

[ "$failed" -eq 0 ] && echo "OK: both units verify, stay at exposure 2.0 or less, and keep apart state directories"
exit "$failed"
