#!/usr/bin/env bash
# Builds the Debian package from a build directory with cpack into a scratch directory and checks
# what a user would install: lintian with no error and no warning, the AppStream metainfo, the
# desktop entry, both manual pages free of groff and man warnings, and the packager's changelog
# and the manual pages naming the package's version. Exits 77 (skipped) when a tool is missing.
# Usage: package_check.sh <cpack program> <build directory> <source directory>
set -uo pipefail

cpack=$1
build=$2
source=$3

# tool, then the Debian package that has it
tools=(
    lintian lintian
    appstreamcli appstream
    desktop-file-validate desktop-file-utils
    groff groff-base
    man man-db
    dpkg-deb dpkg
    dpkg-shlibdeps dpkg-dev
)
for ((i = 0; i < ${#tools[@]}; i += 2)); do
    if ! command -v "${tools[i]}" >/dev/null; then
        echo "SKIP: ${tools[i]} not installed (Debian's ${tools[i + 1]} package provides it)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! out=$("$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" 2>&1); then
    echo "FAIL: cpack:"
    echo "$out"
    exit 1
fi
debs=("$work"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: cpack made no single .deb:"
    echo "$out"
    exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"
dpkg-deb -x "$deb" "$work/root"

failed=0
fail() {
    echo "FAIL: $1"
    [ -n "${2:-}" ] && echo "$2"
    failed=1
}

# Any warning counts, as an error does; the configuration files of whoever runs this do not.
out=$(lintian --no-cfg --fail-on error,warning "$deb" 2>&1)
status=$?
if [ "$status" -ne 0 ] || grep -q '^[EW]: ' <<<"$out"; then
    fail "lintian reports errors or warnings:" "$out"
fi

metainfo=("$work"/root/usr/share/metainfo/*.metainfo.xml)
if [ ! -f "${metainfo[0]}" ]; then
    fail "no AppStream metainfo in /usr/share/metainfo"
else
    # validate fails on errors and warnings; validate-tree also finds the launchable's desktop entry.
    out=$(appstreamcli validate --no-net "${metainfo[@]}" 2>&1) || fail "appstreamcli validate:" "$out"
    out=$(appstreamcli validate-tree --no-net "$work/root" 2>&1) || fail "appstreamcli validate-tree:" "$out"
fi

for desktop in "$work"/root/usr/share/applications/*.desktop; do
    out=$(desktop-file-validate "$desktop" 2>&1)
    [ -z "$out" ] || fail "desktop-file-validate $(basename "$desktop"):" "$out"
done

pages=0
pages_versions=()
for page in "$work"/root/usr/share/man/man*/*.gz; do
    [ -f "$page" ] || continue
    pages=$((pages + 1))
    name=$(basename "$page" .gz)
    out=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$out" ] || fail "groff warns about $name:" "$out"
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$out" ] || fail "man warns about $name:" "$out"
    pages_versions+=("$name:$(zcat "$page" | sed -n 's/^\.TH .*"linewatch \([^"]*\)".*/\1/p')")
done
[ "$pages" -ge 2 ] || fail "expected the manual pages of linewatch and linewatchd, found $pages"

# A version raised in CMake without a changelog entry, or the other way round.
version=$(dpkg-deb -f "$deb" Version)
changelog=$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' "$source/packaging/debian/changelog")
[ "$version" = "$changelog" ] ||
    fail "the package is version $version, packaging/debian/changelog's newest entry $changelog"
for entry in "${pages_versions[@]}"; do
    [ "${entry#*:}" = "${version%-*}" ] ||
        fail "the manual page ${entry%%:*} names version '${entry#*:}', the program is ${version%-*}"
done

[ "$failed" -eq 0 ] && echo "OK: lintian, AppStream, desktop entry and manual pages are clean"
exit "$failed"
