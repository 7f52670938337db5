#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's LoadCredential= set-up as written: a settings file readable by root alone (0600),
# handed to linewatchd under a transient user (DynamicUser=) as a credential, read from the
# credentials directory (what %d names in a unit), with the unit's Type=notify. linewatchd must
# reach the router simulator's status screen with it. Needs systemd as PID 1 and root, since it
# starts a system service with systemd-run; skipped (77) elsewhere. Everything stays on 127.0.0.1.
# Usage: credential_check.sh LINEWATCHD SIMULATOR OUTPUT_DIR
set -uo pipefail
# shellcheck source=SCRIPTDIR/../../tools/lib.sh
. "$(dirname "$0")/../../tools/lib.sh"

daemon=$(realpath "$1")
simulator=$2
out_dir=$3

if [ ! -d /run/systemd/system ] || [ "$(cat /proc/1/comm 2>/dev/null)" != systemd ]; then
    echo "SKIP: systemd is not PID 1 here ($(cat /proc/1/comm 2>/dev/null)); the README's LoadCredential= example needs a running systemd"
    exit 77
fi
if [ "$(id -u)" -ne 0 ] || ! command -v systemd-run >/dev/null; then
    echo "SKIP: the LoadCredential= example starts a system service: run this as root with systemd-run"
    exit 77
fi

rm -rf "$out_dir"
mkdir -p "$out_dir"
fail() {
    echo "credential check failed: $*" >&2
    [ -n "${unit:-}" ] && journalctl -u "$unit" --no-pager -n 20 >&2
    exit 1
}
# shellcheck source=SCRIPTDIR/../daemon/daemonlib.sh
. "$(dirname "$0")/../daemon/daemonlib.sh"

unit=""
sim_pid=""
work=$(mktemp -d)
cleanup() {
    if [ -n "$unit" ]; then
        systemctl stop "$unit" 2>/dev/null
        systemctl reset-failed "$unit" 2>/dev/null
    fi
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

# The transient user must be able to run the program wherever the build tree lies.
chmod 0755 "$work"
install -m 0755 "$daemon" "$work/linewatchd"

lw_router_script "$out_dir/router.txt"
"$simulator" --port 0 --script "$out_dir/router.txt" >"$out_dir/sim.out" 2>&1 &
sim_pid=$!
router_port=$(lw_wait_simulator "$out_dir/sim.out") || fail "the simulator did not start"
web_port=$(lw_pick_port) || fail "no free port"
lw_daemon_settings "$work/office.ini" "$router_port" "$web_port"
chmod 0600 "$work/office.ini"

unit=linewatchd-credential-check-$$.service
# ${CREDENTIALS_DIRECTORY} is what %d stands for; systemd-run hands its command over without
# specifiers, but expands the service's environment as a unit file's ExecStart= does.
# shellcheck disable=SC2016 # for systemd to expand, not the shell
systemd-run --unit="$unit" --service-type=notify --property=DynamicUser=yes \
    --property="LoadCredential=settings:$work/office.ini" --property="StateDirectory=${unit%.service}" \
    "$work/linewatchd" --config '${CREDENTIALS_DIRECTORY}/settings' >"$out_dir/systemd-run.out" 2>&1 ||
    fail "systemd-run: $(cat "$out_dir/systemd-run.out")"
pid=$(systemctl show -p MainPID --value "$unit")
if [ -z "$pid" ] || [ "$pid" = 0 ]; then fail "the service has no main process"; fi
lw_wait_status_screen "$web_port" "$pid" "$out_dir/status.json"
systemctl stop "$unit" || fail "systemctl stop"
echo "OK: linewatchd read its settings as a credential and reached the status screen"
