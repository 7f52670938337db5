#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Full TLS handshakes per second on a TLS listener: CLIENTS `openssl s_time -new` loops against
# lw_tlsserver on 127.0.0.1 for SECONDS, each handshake followed by one small request and answer.
# Usage: bench/tlshandshakes.sh [BUILD_DIR] [CLIENTS] [SECONDS] (default build-release 10 10).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-release}
clients=${2:-10}
seconds=${3:-10}

out=$(mktemp -d)
server=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$out"
}
trap cleanup EXIT

# A throw-away P-256 certificate, as the web port would most likely be given.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 \
    -keyout "$out/key.pem" -out "$out/cert.pem" 2>/dev/null
chmod 600 "$out/key.pem"
"$build/bench/lw_tlsserver" "$out/cert.pem" "$out/key.pem" >"$out/port" &
server=$!
for _ in $(seq 50); do [ -s "$out/port" ] && break; sleep 0.1; done
port=$(cat "$out/port")

pids=()
for i in $(seq "$clients"); do
    openssl s_time -connect "127.0.0.1:$port" -new -time "$seconds" -www / >"$out/c$i" 2>&1 &
    pids+=($!)
done
wait "${pids[@]}" || true
# s_time prints "N connections in T real seconds" for the -new run.
awk -v s="$seconds" '/connections in .* real seconds/ { n += $1 }
    END { printf "%d handshakes in %d s: %.0f per second\n", n, s, n / s }' "$out"/c*
