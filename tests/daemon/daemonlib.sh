# SPDX-License-Identifier: MIT
# What the linewatchd checks share: plain HTTP over bash's /dev/tcp (CI's fresh Debian has no
# curl or Python for certain), a router with fixed figures, a settings file that keeps everything
# on 127.0.0.1, and waiting for the status screen. Source it after tools/lib.sh and after defining
# fail MESSAGE; defines functions and the expected figures only.
# shellcheck shell=bash

# The figures the simulator paints, as /status.json and /metrics must give them. B1's counter is
# past 2^32 so that a 32-bit count anywhere on the way shows.
# shellcheck disable=SC2034 # the checks that source this read them
LW_ROUTER_NAME=office-gw
LW_B1_LINK=PPP
LW_B1_TX=5000000000
LW_B1_RX=7654321
LW_B1_ERRORS=3
LW_B1_CLU=50
LW_B1_CLU_RATIO=0.5
LW_B1_ALU=40

# lw_check_begin NAME OUTPUT_DIR: the start a linewatchd check shares: OUTPUT_DIR emptied, HOME
# and the XDG folders inside it, every process in the array pids killed at exit, and fail MESSAGE
# naming the check and showing the last lines of each *.err, *.out and *.log file in OUTPUT_DIR.
lw_check_begin() {
    lw_check_name=$1
    lw_check_dir=$2
    rm -rf "$lw_check_dir"
    mkdir -p "$lw_check_dir"
    # shellcheck disable=SC2317 # called by the checks
    fail() {
        echo "$lw_check_name check failed: $*" >&2
        local log
        for log in "$lw_check_dir"/*.err "$lw_check_dir"/*.out "$lw_check_dir"/*.log; do
            [ -f "$log" ] && sed "s|^|$(basename "$log"): |" "$log" | tail -20 >&2
        done
        exit 1
    }
    pids=()
    # shellcheck disable=SC2317 # called by the trap
    lw_check_cleanup() {
        local pid
        for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    }
    trap lw_check_cleanup EXIT
    export HOME=$lw_check_dir XDG_CONFIG_HOME=$lw_check_dir/.config XDG_STATE_HOME=$lw_check_dir/.local/state
    export XDG_CACHE_HOME=$lw_check_dir/.cache XDG_DATA_HOME=$lw_check_dir/.local/share LC_ALL=C
    unset STATE_DIRECTORY
}

# lw_router_script FILE: a steady router with the figures above, repainted five times a second.
lw_router_script() {
    cat >"$1" <<EOF
live off
interval-ms 200
call b1 data
call b2 idle
set name $LW_ROUTER_NAME
set b1.state $LW_B1_LINK
set b1.speed 64
set b1.tx $LW_B1_TX
set b1.rx $LW_B1_RX
set b1.errors $LW_B1_ERRORS
set b1.clu $LW_B1_CLU
set b1.alu $LW_B1_ALU
EOF
}

# lw_daemon_settings FILE ROUTER_PORT WEB_PORT [EXTRA]: a settings file (CR LF, as the desktop
# program writes it) for the simulator at 127.0.0.1:ROUTER_PORT with the web server on
# 127.0.0.1:WEB_PORT. EXTRA is printf text for more [RemoteAdmin] keys. "nnnn" is the stored
# form of the simulator's password 1234.
lw_daemon_settings() {
    local file=$1 router_port=$2 web_port=$3 extra=${4:-}
    printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\n[RemoteAdmin]\r\nTelnet=0\r\n'"$extra"'WebPort=%s\r\nWeb=1\r\n[Network]\r\nBindAddress=127.0.0.1\r\n' \
        "$router_port" "$web_port" >"$file"
}

# lw_pick_port: prints a port nobody listens on, below the ephemeral range that clients draw from.
lw_pick_port() {
    local candidate
    for _ in $(seq 1 50); do
        candidate=$((20000 + RANDOM % 12000))
        if lw_port_free "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# lw_http_get PORT PATH FILE: the whole answer of 127.0.0.1:PORT to GET PATH into FILE; fails when
# nothing listens or the answer does not end within 5 s. METHOD=HEAD (or another) asks with that.
lw_http_get() {
    local port=$1 path=$2 file=$3
    local request
    # One write: linewatchd answers what its first read holds and closes, so a request written in
    # pieces would meet a closed connection.
    printf -v request '%s %s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n' "${METHOD:-GET}" "$path" "$port"
    (
        exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
        printf '%s' "$request" >&3
        timeout 5 cat <&3 >"$file"
    ) 2>/dev/null
}

# lw_http_status FILE: the status line of an answer, without its CR.
lw_http_status() {
    head -n 1 "$1" | tr -d '\r'
}

# lw_http_has_header FILE "NAME: VALUE": true when the answer's head holds exactly that line.
lw_http_has_header() {
    sed -n '2,/^\r\?$/p' "$1" | tr -d '\r' | grep -qxF "$2"
}

# lw_http_body FILE: the body of an answer.
lw_http_body() {
    sed '1,/^\r\?$/d' "$1"
}

# lw_wait_status_screen WEB_PORT PID FILE: waits up to 60 s (a busy machine's start and login)
# until linewatchd (PID) serves a /status.json (kept in FILE) on the status screen with B1's
# figures painted.
lw_wait_status_screen() {
    local port=$1 pid=$2 file=$3
    for _ in $(seq 1 300); do
        if lw_http_get "$port" /status.json "$file" &&
            grep -qF '"state":"status_screen"' "$file" && grep -qF "\"tx\":$LW_B1_TX," "$file"; then
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || fail "linewatchd ended before reaching the status screen"
        sleep 0.2
    done
    fail "linewatchd never served the status screen's figures"
}

# lw_start_prometheus OUT_DIR: checks OUT_DIR/prometheus.yml and starts Prometheus with it on a free
# port of 127.0.0.1, its data in OUT_DIR/tsdb and its output in OUT_DIR/prometheus.{out,err}; sets
# prometheus_port and prometheus_pid. Calls fail (the script's own) when it cannot.
lw_start_prometheus() {
    local dir=$1
    promtool check config "$dir/prometheus.yml" >/dev/null 2>&1 || fail "the generated Prometheus configuration"
    prometheus_port=$(lw_pick_port) || fail "no free port"
    prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/tsdb" \
        --web.listen-address="127.0.0.1:$prometheus_port" --storage.tsdb.retention.time=1h \
        --log.level=warn >"$dir/prometheus.out" 2>"$dir/prometheus.err" &
    prometheus_pid=$!
}

# lw_make_certificates DIR: a throw-away P-256 CA (DIR/ca.key, ca.pem) and a server certificate for
# 127.0.0.1 signed by it (DIR/server.key at 0600, server.csr, server.pem, and ext, its
# subjectAltName, for signing it again); never kept beyond the run that makes them.
lw_make_certificates() {
    local dir=$1
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/ca.key" \
        -out "$dir/ca.pem" -days 2 -subj /CN=linewatch-test-ca 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/server.key" \
        -out "$dir/server.csr" -subj /CN=127.0.0.1 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\n' >"$dir/ext"
    openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
        -out "$dir/server.pem" -days 2 -extfile "$dir/ext" 2>/dev/null
    chmod 600 "$dir/server.key"
}
