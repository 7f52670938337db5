# SPDX-License-Identifier: MIT
# What the MQTT checks share: a Mosquitto broker on a free port of 127.0.0.1 and reading topics
# with mosquitto_sub. Source it after daemonlib.sh; it uses the script's out and simulator.
# shellcheck shell=bash
# shellcheck disable=SC2154 # out, simulator and broker_port are the sourcing script's

# mqtt_begin NAME: what both MQTT checks do first: lw_check_begin NAME in out (fail, the pids
# stopped at exit, HOME), the topic prefix, and the router simulator started (sets router_port).
mqtt_begin() {
    lw_check_begin "$1" "$out"
    unset CREDENTIALS_DIRECTORY
    # shellcheck disable=SC2034 # the checks read it
    prefix=linewatch/127_0_0_1
    lw_router_script "$out/router.txt"
    "$simulator" --port 0 --script "$out/router.txt" >"$out/sim.out" 2>&1 &
    pids+=($!)
    router_port=$(lw_wait_simulator "$out/sim.out") || fail "the simulator did not start"
}

# settings FILE WEB_PORT MQTT_KEYS: the daemon's settings with an [MQTT] section for the broker.
settings() {
    lw_daemon_settings "$1" "$router_port" "$2"
    printf '[MQTT]\r\nEnabled=1\r\nHost=127.0.0.1\r\nPort=%s\r\n%b' "$broker_port" "$3" >>"$1"
}

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
