#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every source file of the checkout names the project's licence (an SPDX line near its top), and
# LICENSE, the Debian copyright file (Debian calls it Expat) and the metainfo agree on MIT. Skipped outside a git checkout.
# Usage: licence_check.sh SOURCE_DIR
set -euo pipefail
cd "$1"
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "licence_check: not a git checkout, so the list of sources is unknown; skipped"
    exit 77
fi
missing=()
while IFS= read -r file; do
    case "$file" in
    tests/data/* | fuzz/corpus/* | docs/*) continue ;;
    esac
    [ -f "$file" ] || continue
    head -n 3 "$file" | grep -q 'SPDX-License-Identifier: MIT' || missing+=("$file")
done < <(git ls-files '*.cpp' '*.h' '*.h.in' '*.sh' '*.py' '*.cmake' '*CMakeLists.txt' '*.js' '*.css' \
    'remote/live/*.html' .ci/run)
if [ ${#missing[@]} -gt 0 ]; then
    printf 'no "SPDX-License-Identifier: MIT" line at the top of:\n' >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
fi
grep -q '^MIT License' LICENSE || { echo "LICENSE is not the MIT licence" >&2; exit 1; }
grep -Eq '^License: (MIT|Expat)' packaging/debian/copyright || { echo "the copyright file names no MIT (Expat) licence" >&2; exit 1; }
grep -q '<project_license>MIT</project_license>' resources/*.metainfo.xml ||
    { echo "the metainfo names no MIT licence" >&2; exit 1; }
echo "licence_check: every source names MIT; LICENSE, copyright and metainfo agree"
