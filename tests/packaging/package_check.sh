#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a build directory with cpack into a scratch directory and checks
# what a user would install: linewatch (the desktop program) and linewatchd (the service) each
# holding their own files, /etc/linewatch and the examples, lintian with no error and no warning
# for both, nothing graphical among linewatchd's dependencies (their closure, and apt-get's
# simulated install), the AppStream metainfo, the desktop entry, both manual pages free of groff
# and man warnings, and the packager's changelog and the manual pages naming the packages'
# version. Exits 77 (skipped) when a tool is missing.
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
    apt-cache apt
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
desktop_deb=$(find "$work/out" -maxdepth 1 -name 'linewatch_*.deb')
service_deb=$(find "$work/out" -maxdepth 1 -name 'linewatchd_*.deb')
if [ -z "$desktop_deb" ] || [ -z "$service_deb" ] || [ ${#debs[@]} -ne 2 ]; then
    echo "FAIL: cpack made not the two packages linewatch and linewatchd:"
    ls "$work/out"
    exit 1
fi
echo "packages: $(basename "$desktop_deb") $(basename "$service_deb")"
dpkg-deb -x "$desktop_deb" "$work/desktop"
dpkg-deb -x "$service_deb" "$work/service"

failed=0
fail() {
    echo "FAIL: $1"
    [ -n "${2:-}" ] && echo "$2"
    failed=1
}

# What each package holds, and what it must not: the service none of the desktop's files.
listing() { dpkg-deb -c "$1" | awk '{print $1, $2, $6}'; }
desktop_files=$(listing "$desktop_deb")
service_files=$(listing "$service_deb")
for path in ./usr/bin/linewatch ./usr/share/applications/linewatch.desktop ./usr/share/man/man1/linewatch.1.gz \
    ./usr/share/doc/linewatch/copyright ./usr/share/doc/linewatch/README.md; do
    grep -q " $path\$" <<<"$desktop_files" || fail "linewatch lacks $path"
done
for path in ./usr/bin/linewatchd ./usr/lib/systemd/system/linewatchd.service \
    ./usr/lib/systemd/system/linewatchd@.service ./usr/share/man/man1/linewatchd.1.gz \
    ./usr/share/doc/linewatchd/copyright ./usr/share/doc/linewatchd/README.md \
    ./usr/share/doc/linewatchd/examples/linewatchd.ini ./usr/share/doc/linewatchd/examples/prometheus.yml; do
    grep -q " $path\$" <<<"$service_files" || fail "linewatchd lacks $path"
done
grep -qx 'drwxr-xr-x root/root ./etc/linewatch/' <<<"$service_files" ||
    fail "linewatchd does not make /etc/linewatch root's with mode 0755:" "$(grep etc <<<"$service_files")"
! grep -q ' ./etc/linewatch/.' <<<"$service_files" || fail "/etc/linewatch is not empty in the package"
! grep -qE 'applications|icons|metainfo|usr/bin/linewatch$' <<<"$service_files" ||
    fail "linewatchd holds desktop files"
! grep -qE 'systemd|usr/bin/linewatchd$' <<<"$desktop_files" || fail "linewatch holds the service's files"
# The example names every key with a comment above it and leaves the password empty.
example=$work/service/usr/share/doc/linewatchd/examples/linewatchd.ini
grep -qx 'Password=' "$example" || fail "the example settings file has no empty Password="
uncommented=$(awk '/^[A-Za-z0-9]+=/ && prev !~ /^;/ && prev !~ /^[A-Za-z0-9]+=/ {print} {prev = $0}' "$example")
[ -z "$uncommented" ] || fail "keys in the example without a comment:" "$uncommented"

# Any warning counts, as an error does; the configuration files of whoever runs this do not.
for deb in "$desktop_deb" "$service_deb"; do
    out=$(lintian --no-cfg --fail-on error,warning "$deb" 2>&1)
    status=$?
    if [ "$status" -ne 0 ] || grep -q '^[EW]: ' <<<"$out"; then
        fail "lintian reports errors or warnings for $(basename "$deb"):" "$out"
    fi
done

# The service on a machine without a display: nothing its dependencies pull in, recursively, is
# graphical. The closure is read from the archive's metadata, so it holds whatever is installed
# here already; apt-get's simulation then shows what a real install would add on this machine.
graphical='libqt6gui|libqt6widgets|qt6-qpa|fonts|libx11|wayland'
closure() {
    local deps
    deps=$(dpkg-deb -f "$1" Depends | sed 's/([^)]*)//g; s/|/,/g' | tr ',' '\n' | tr -d ' ' | grep -v '^$')
    # shellcheck disable=SC2086 # one package name per word
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
        --no-enhances $deps 2>/dev/null | grep -v '^ ' | sort -u
}
service_closure=$(closure "$service_deb")
if [ "$(wc -l <<<"$service_closure")" -lt 5 ]; then
    echo "note: apt knows too little of the archive here (apt-get update?); dependency closure not checked"
else
    found=$(grep -E "$graphical" <<<"$service_closure")
    [ -z "$found" ] || fail "linewatchd's dependencies pull in graphical packages:" "$found"
    # The same look finds them for the desktop program, so an empty answer above means something.
    grep -qE "$graphical" <<<"$(closure "$desktop_deb")" || fail "the closure check finds nothing graphical even for linewatch"
fi
if out=$(cd "$work/out" && apt-get install --simulate "./$(basename "$service_deb")" 2>&1); then
    found=$(grep '^Inst ' <<<"$out" | grep -E "$graphical")
    [ -z "$found" ] || fail "installing linewatchd would add graphical packages:" "$found"
else
    echo "note: apt-get install --simulate cannot resolve linewatchd here: $(tail -n 3 <<<"$out")"
fi

metainfo=("$work"/desktop/usr/share/metainfo/*.metainfo.xml)
if [ ! -f "${metainfo[0]}" ]; then
    fail "no AppStream metainfo in /usr/share/metainfo"
else
    # validate fails on errors and warnings; validate-tree also finds the launchable's desktop entry.
    out=$(appstreamcli validate --no-net "${metainfo[@]}" 2>&1) || fail "appstreamcli validate:" "$out"
    out=$(appstreamcli validate-tree --no-net "$work/desktop" 2>&1) || fail "appstreamcli validate-tree:" "$out"
fi

for desktop in "$work"/desktop/usr/share/applications/*.desktop; do
    out=$(desktop-file-validate "$desktop" 2>&1)
    [ -z "$out" ] || fail "desktop-file-validate $(basename "$desktop"):" "$out"
done

pages=0
pages_versions=()
for page in "$work"/desktop/usr/share/man/man*/*.gz "$work"/service/usr/share/man/man*/*.gz; do
    [ -f "$page" ] || continue
    pages=$((pages + 1))
    name=$(basename "$page" .gz)
    out=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$out" ] || fail "groff warns about $name:" "$out"
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$out" ] || fail "man warns about $name:" "$out"
    pages_versions+=("$name:$(zcat "$page" | sed -n 's/^\.TH .*"linewatch \([^"]*\)".*/\1/p')")
done
[ "$pages" -eq 2 ] || fail "expected the manual pages of linewatch and linewatchd, found $pages"

# A version raised in CMake without a changelog entry, or the other way round.
changelog=$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' "$source/packaging/debian/changelog")
for deb in "$desktop_deb" "$service_deb"; do
    version=$(dpkg-deb -f "$deb" Version)
    [ "$version" = "$changelog" ] ||
        fail "$(basename "$deb") is version $version, packaging/debian/changelog's newest entry $changelog"
done
for entry in "${pages_versions[@]}"; do
    [ "${entry#*:}" = "${version%-*}" ] ||
        fail "the manual page ${entry%%:*} names version '${entry#*:}', the program is ${version%-*}"
done

[ "$failed" -eq 0 ] && echo "OK: both packages hold their files, lintian, AppStream, desktop entry and manual pages are clean, and linewatchd pulls in nothing graphical"
exit "$failed"
