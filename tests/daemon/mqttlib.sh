# SPDX-License-Identifier: MIT
# What the MQTT checks share: a Mosquitto broker on a free port of 127.0.0.1 and reading topics
# with mosquitto_sub. Source it after daemonlib.sh; it uses the script's out, pids and fail.
# shellcheck shell=bash
# shellcheck disable=SC2154 # out and pids are the sourcing script's

# start_broker CONFIG [PORT]: a broker on PORT (default: a free port) of 127.0.0.1 with CONFIG's
# extra lines; sets broker_port and broker_pid.
start_broker() {
    broker_port=${2:-}
    [ -n "$broker_port" ] || broker_port=$(lw_pick_port) || fail "no free port"
    # "user": a broker started as root would otherwise turn into the user mosquitto, who cannot
    # read the password file made here.
    printf 'listener %s 127.0.0.1\npersistence false\nlog_dest stderr\nuser %s\n%s\n' "$broker_port" "$(id -un)" "$1" \
        >"$out/broker.conf"
    mosquitto -c "$out/broker.conf" >>"$out/broker.log" 2>&1 &
    broker_pid=$!
    pids+=("$broker_pid")
    for _ in $(seq 1 100); do
        lw_port_free "$broker_port" || return 0
        sleep 0.1
    done
    fail "the broker did not start"
}

# sub TOPIC COUNT [ARGS...]: the first COUNT messages on TOPIC (retained ones too), within 30 s.
sub() {
    local topic=$1 count=$2
    shift 2
    mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t "$topic" -C "$count" -W 30 "$@" 2>/dev/null || true
}

# wait_value TOPIC VALUE [ARGS...]: until TOPIC's retained value is VALUE (up to 60 s).
wait_value() {
    local topic=$1 value=$2 got=""
    shift 2
    for _ in $(seq 1 30); do
        got=$(mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t "$topic" -C 1 -W 2 "$@" 2>/dev/null || true)
        [ "$got" = "$value" ] && return 0
    done
    fail "$topic is '$got', not '$value'"
}
