#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Refreshes translations/*.ts from the sources with Qt's lupdate: new texts arrive as unfinished
# entries for a translator to fill in (Qt Linguist, or by hand), vanished ones are dropped. No line
# numbers are kept, so the files change only where a text did.
#   tools/update-translations.sh           update the .ts files in place
#   tools/update-translations.sh --check   change nothing; fail while any text is untranslated
#                                          or left over (exit 77 without lupdate)
# LUPDATE names the lupdate program (default: Qt 6's, else the one on PATH).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# Where the window's, the tray's, the dialogs' and the monitor's texts live. The daemon is not
# here: linewatchd loads no translation.
sources=(shell core display update remote)

lupdate=${LUPDATE:-}
if [ -z "$lupdate" ]; then
    for candidate in /usr/lib/qt6/bin/lupdate "$(command -v lupdate6 || true)" "$(command -v lupdate || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            lupdate=$candidate
            break
        fi
    done
fi
check=false
[ "${1:-}" = "--check" ] && check=true

if [ -z "$lupdate" ] || [ ! -x "$lupdate" ]; then
    echo "SKIP: lupdate not found (Debian: qt6-l10n-tools); set LUPDATE to its path" >&2
    exit 77
fi

cd "$root"
status=0
for ts in translations/*.ts; do
    if ! $check; then
        "$lupdate" -silent -locations none -no-obsolete "${sources[@]}" -ts "$ts"
        echo "$ts: $(grep -c 'type="unfinished"' "$ts" || true) unfinished"
        continue
    fi
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    cp "$ts" "$scratch/"
    copy="$scratch/$(basename "$ts")"
    # Without -no-obsolete: a text gone from the sources shows as vanished instead of silently going.
    "$lupdate" -silent -locations none "${sources[@]}" -ts "$copy" >/dev/null
    if grep -q 'type="unfinished"\|type="vanished"\|type="obsolete"' "$copy"; then
        echo "$ts is not up to date with the sources:" >&2
        grep -B3 'type="unfinished"\|type="vanished"\|type="obsolete"' "$copy" | grep '<source>' | sed 's/^ */  /' >&2
        echo "Run tools/update-translations.sh and translate the unfinished entries." >&2
        status=1
    fi
    rm -rf "$scratch"
    trap - EXIT
done
exit $status
