# SPDX-License-Identifier: MIT
# Shell helpers that the checks and tools source: waiting for a program's line that names its port,
# finding a free port on 127.0.0.1, and waiting for a process to end. Defines functions only.
# shellcheck shell=bash

# lw_wait_port FILE PREFIX [TRIES]: prints N from the first line "PREFIX N" in FILE (PREFIX is a
# sed pattern), looking every tenth of a second; fails after TRIES looks (100 when not given).
lw_wait_port() {
    local file=$1 prefix=$2 tries=${3:-100} port=""
    for _ in $(seq 1 "$tries"); do
        port=$(sed -n "s/^$prefix\([0-9][0-9]*\)\$/\1/p" "$file" 2>/dev/null | head -n 1)
        if [ -n "$port" ]; then
            echo "$port"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# lw_wait_simulator LOG [TRIES]: the port from the router simulator's "listening on" line in LOG.
lw_wait_simulator() {
    lw_wait_port "$1" 'listening on 127\.0\.0\.1:' "${2:-100}"
}

# lw_port_free PORT: true when nothing accepts connections on 127.0.0.1:PORT.
lw_port_free() {
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# lw_free_port FIRST LAST: prints the first free port from FIRST to LAST; fails when all are taken.
lw_free_port() {
    local candidate
    for candidate in $(seq "$1" "$2"); do
        if lw_port_free "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# lw_wait_gone PID [TRIES]: true once process PID has ended, looking every tenth of a second;
# false after TRIES looks (100 when not given).
lw_wait_gone() {
    local pid=$1 tries=${2:-100}
    for _ in $(seq 1 "$tries"); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

# lw_scratch: sets work to a new scratch directory and pids to an empty list, and arranges that
# when the script ends every process in pids is stopped and the directory removed.
lw_scratch() {
    work="$(mktemp -d)"
    pids=()
    trap lw_scratch_cleanup EXIT
}

lw_scratch_cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
