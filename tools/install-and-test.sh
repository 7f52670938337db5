#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds linewatch (debug preset) and runs every test.
# Pass --asan to build and test with AddressSanitizer + UndefinedBehaviorSanitizer instead.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=dev
if [ "${1:-}" = "--asan" ]; then
    preset=asan
fi

# Beyond the build: python3 reads the machine status's JSON, prometheus (with promtool) scrapes
# linewatchd for real, dbus runs the notifier's private session bus, mosquitto is the MQTT broker
# (and mosquitto-clients the subscriber) that linewatchd publishes to in mqtt_check.
tools/install-deps.sh python3 prometheus dbus apache2-utils mosquitto mosquitto-clients
cmake --preset "$preset" -DLINEWATCH_WERROR=ON
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
