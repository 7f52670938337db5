#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A figure that changes every second, from linewatch's tick to an MQTT subscriber: a Mosquitto
# broker on a free port of 127.0.0.1 with its own config, and lw_mqttlatency publishing and
# subscribing through it. Target: median at most 100 ms.
# Usage: bench/mqttlatency.sh BUILD_DIR [COUNT]   (BUILD_DIR holds bench/lw_mqttlatency)
set -euo pipefail
build="$(cd "$1" && pwd)"
count="${2:-100}"
# shellcheck source=../tools/lib.sh
. "$(dirname "$0")/../tools/lib.sh"
PATH=$PATH:/usr/sbin
command -v mosquitto >/dev/null || { echo "mosquitto is not installed" >&2; exit 1; }
lw_scratch
port="$(lw_free_port 21883 22883)"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n' "$port" "$(id -un)" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do lw_port_free "$port" || break; sleep 0.1; done
"$build/bench/lw_mqttlatency" "$port" "$count"
