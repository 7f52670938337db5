#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak run: the desktop program (offscreen, window shown, web page on and fetched once a second)
# against the router simulator repainting every 10 ms with live calls, so an hour here is weeks of
# router time. Samples resident memory, the heap, anonymous memory, open descriptors and CPU every
# few seconds and prints each figure's slope after the warm-up (the first minute).
# Usage: bench/soak.sh BUILD_DIR [SECONDS] [--check]   (default 900 s; BUILD_DIR holds linewatch
# and linewatch-routersim). --check fails when resident memory, the heap or the descriptors of the
# last third of the run stand above those of the second third (means; 1 MiB, 1 descriptor).
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="${2:-900}"
check=0
[ "${3:-}" = "--check" ] && check=1
step="${SOAK_SAMPLE_SECONDS:-3}"
warmup="${SOAK_WARMUP_SECONDS:-60}"
# shellcheck source=../tools/lib.sh
. "$(dirname "$0")/../tools/lib.sh"
lw_scratch

printf 'interval-ms %s\nlive on\ncall b1 data\ncall b2 voice 5551234\n' "${SOAK_INTERVAL_MS:-10}" >"$work/sim.script"
"$build/linewatch-routersim" --port 0 --seed 7 --script "$work/sim.script" >"$work/sim.log" &
pids+=($!)
for _ in $(seq 50); do grep -q '^listening on' "$work/sim.log" && break; sleep 0.1; done
port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.log")"
[ -n "$port" ] || { echo "soak: the simulator did not start" >&2; exit 1; }
# A free port for the web page (the monitor takes a fixed one).
webport="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"

# A portable copy: the settings beside the program connect it to the simulator (password 1234,
# stored scrambled as "nnnn"), turn the web page on and the update check off.
mkdir "$work/app"
cp "$build/linewatch" "$work/app/"
printf '[Connection]\r\nTelnetAddress=127.0.0.1\r\nTelnetPort=%s\r\nMaskPassword=1\r\nRememberPassword=1\r\nPassword=nnnn\r\n[Startup]\r\nConnectAtStartup=1\r\nCheckForUpdates=0\r\nShowStatus=1\r\n[RemoteAdmin]\r\nWeb=1\r\nWebPort=%s\r\n' \
    "$port" "$webport" >"$work/app/linewatch.ini"
QT_QPA_PLATFORM=offscreen "$work/app/linewatch" >"$work/app.log" 2>&1 &
app=$!
pids+=($app)

# The web page, once a second, as a browser left open on it would ask.
(
    while sleep 1; do
        curl -s -o /dev/null -w '%{http_code}\n' --max-time 5 "http://127.0.0.1:$webport/" >>"$work/web.log" || true
    done
) &
pids+=($!)

ticks="$(getconf CLK_TCK)"
start="$(date +%s.%N)"
echo "# seconds rss_kib heap_kib anon_kib fds cpu_ticks" | tee "$work/samples"
while :; do
    now="$(date +%s.%N)"
    elapsed="$(awk -v a="$start" -v b="$now" 'BEGIN { printf "%.1f", b - a }')"
    kill -0 "$app" 2>/dev/null || { echo "soak: the monitor exited" >&2; cat "$work/app.log" >&2; exit 1; }
    rss="$(awk '/^VmRSS/ {print $2}' "/proc/$app/status")"
    # The main arena ([heap]) and all anonymous memory (the other arenas, mmap'd blocks, stacks).
    heap="$(awk '/\[heap\]/ {h = 1; next} /^[0-9a-f]+-/ {h = 0} h && /^Rss:/ {print $2; exit}' "/proc/$app/smaps")"
    anon="$(awk '/^Anonymous:/ {print $2}' "/proc/$app/smaps_rollup")"
    fds="$(find "/proc/$app/fd" -mindepth 1 -maxdepth 1 | wc -l)"
    cpu="$(sed 's/.*) //' "/proc/$app/stat" | awk '{print $12 + $13}')"
    echo "$elapsed $rss ${heap:-0} $anon $fds $cpu" | tee -a "$work/samples"
    awk -v e="$elapsed" -v s="$seconds" 'BEGIN { exit !(e >= s) }' && break
    sleep "$step"
done

logins="$(grep -c 'login ok' "$work/sim.log" || true)"
pages="$(grep -c '^200$' "$work/web.log" || true)"
echo "# simulator logins: $logins; web pages answered: $pages"
[ "$logins" -ge 1 ] || { echo "soak: the monitor never logged in to the simulator" >&2; exit 1; }
[ "$pages" -ge 1 ] || { echo "soak: the web page was never answered" >&2; exit 1; }

# Slopes (least squares, per minute) after the warm-up, the spread of resident memory over the
# same stretch, and the means of the second and last thirds of the whole run.
awk -v warm="$warmup" -v run="$seconds" -v hz="$ticks" -v check="$check" '
    /^#/ { next }
    {
        t = $1
        if (t >= warm) {
            n++; st += t; stt += t * t
            for (k = 2; k <= 5; k++) { sy[k] += $k; sty[k] += t * $k }
            if (n == 1) { t0 = t; c0 = $6; lo = hi = $2 }
            t1 = t; c1 = $6
            if ($2 < lo) lo = $2
            if ($2 > hi) hi = $2
        }
        third = t < run / 3 ? 1 : (t < 2 * run / 3 ? 2 : 3)
        cnt[third]++
        for (k = 2; k <= 5; k++) sum[third, k] += $k
    }
    END {
        if (n < 3 || cnt[2] == 0 || cnt[3] == 0) { print "soak: too few samples"; exit 1 }
        split("x rss_kib heap_kib anon_kib fds", name, " ")
        d = n * stt - st * st
        printf "after %d s of warm-up (%d samples, %.0f s):\n", warm, n, t1 - t0
        for (k = 2; k <= 5; k++) {
            slope = (n * sty[k] - st * sy[k]) / d * 60
            printf "  %-9s slope %+9.2f /min   second third %9.1f   last third %9.1f\n",
                name[k], slope, sum[2, k] / cnt[2], sum[3, k] / cnt[3]
        }
        printf "  rss range after warm-up: %d..%d KiB (%d KiB)\n", lo, hi, hi - lo
        printf "  cpu %.2f %% of one core\n", 100 * (c1 - c0) / hz / (t1 - t0)
        if (!check) exit 0
        bad = 0
        if (sum[3, 2] / cnt[3] - sum[2, 2] / cnt[2] > 1024) { print "soak: resident memory keeps climbing"; bad = 1 }
        if (sum[3, 3] / cnt[3] - sum[2, 3] / cnt[2] > 1024) { print "soak: the heap keeps climbing"; bad = 1 }
        if (sum[3, 5] / cnt[3] - sum[2, 5] / cnt[2] > 1) { print "soak: descriptors keep climbing"; bad = 1 }
        exit bad
    }' "$work/samples"
