#!/usr/bin/env bash
# rpc-query: queries per second and 99th-percentile latency from 1 and from 32
# concurrent clients against the worker (kgclient_update.exe, an update in
# progress, console to a file) under Wine, against the same clients and a
# bare server whose Invoke only completes the call (it reads and keeps its
# own signature and version at its start, as the worker must), in
# alternating pairs of rounds.
# Also: the worker's settled idle resident memory against that bare server's
# (with an account of the difference by mapping), and its peak working set
# (VmHWM of its process) after a burst of 1 MB requests and during a 256 MiB
# update, against the idle worker's.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
file=$(served_file big.bin 256)
installer_file big-installer.exe 256 >/dev/null
start_server
query='{"id":"queryAutoUpdateProgress"}'
seconds=2

run_load() {  # clients -> sets qps, p99 and errors; no summary fails the benchmark
    "$wine_run" "$build/test-bin/rpc_load.exe" --clients "$1" --request "$query" --seconds $seconds \
        >"$work/rpc_load.out" 2>&1 || true
    local line
    line=$(sed -n 's/.*errors=\([0-9]*\).*qps=\([0-9.]*\).*p99_us=\([0-9.]*\).*/\2 \3 \1/p' "$work/rpc_load.out")
    if [ -z "$line" ]; then
        echo "rpc-query: rpc_load printed no summary:" >&2
        cat "$work/rpc_load.out" >&2
        exit 1
    fi
    read -r qps p99 errors <<<"$line"
}

# The peak resident memory (VmHWM, KiB) of the worker this script started,
# read while it runs; a worker that has ended fails the benchmark.
peak_kib() {
    local kib
    kib=$(awk '/VmHWM/ { print $2 }' "/proc/$worker/status" 2>/dev/null || true)
    if [ -z "$kib" ]; then
        echo "rpc-query: the worker (pid $worker) ended before its peak memory was read" >&2
        return 1
    fi
    echo "$kib"
}

# The resident memory (VmRSS, KiB) of the process this script started, once
# start-up has settled (two readings a second apart within 1 %).
settled_rss_kib() {
    local before after
    after=$(awk '/VmRSS/ { print $2 }' "/proc/$worker/status" 2>/dev/null || true)
    for _ in $(seq 20); do
        sleep 1
        before=$after
        after=$(awk '/VmRSS/ { print $2 }' "/proc/$worker/status" 2>/dev/null || true)
        if [ -z "$after" ]; then
            echo "rpc-query: the process (pid $worker) ended before its resident memory was read" >&2
            return 1
        fi
        if python3 -c "import sys; sys.exit(0 if abs($after - $before) * 100 <= $before else 1)"; then
            break
        fi
    done
    echo "$after"
}

# Samples the worker's VmHWM into a file every 0.2 s while it runs, so that the
# figure outlives a worker that ends on its own (the high-water mark only
# rises: the last sample is the peak).
follow_peak() {
    peak_file=$work/peak-$1.kib
    rm -f "$peak_file"
    (while kib=$(awk '/VmHWM/ { print $2 }' "/proc/$worker/status" 2>/dev/null) && [ -n "$kib" ]; do
        echo "$kib" >"$peak_file.new" && mv "$peak_file.new" "$peak_file"
        sleep 0.2
    done) &
    follower=$!
}

# The last sample of follow_peak; a missing one fails the benchmark.
followed_peak_kib() {
    kill "$follower" 2>/dev/null || true
    wait "$follower" 2>/dev/null || true
    if [ ! -s "$peak_file" ]; then
        echo "rpc-query: no peak memory was sampled for the worker (pid $worker)" >&2
        return 1
    fi
    cat "$peak_file"
}

# A fresh worker with an empty cache (its console to a file: Wine makes every
# write to /dev/null cost milliseconds); ended by its id.
start_worker() {
    start_cli_worker "$work/worker-$1.log"
}
stop_worker() {
    stop_cli_worker
}

# One round of each: the bare server, or the worker with an update in
# progress (a slow download keeps it running); each measured with 1 and with
# 32 clients.
ours1_list= ours32_list= ours32_p99_list= bare1_list= bare32_list= bare32_p99_list=
bare_round() {
    (cd "$build/test-bin" && exec "$wine_run" bare_rpc_server.exe >/dev/null 2>&1) &
    worker=$!
    wait_serving
    run_load 1; append bare1_list "$qps"
    run_load 32; append bare32_list "$qps"; append bare32_p99_list "$p99"
    stop_worker
}
worker_round() {
    start_worker query
    "$wine_run" "$build/bin/kgupdate-ctl.exe" begin --url "https://localhost/_/slow=2000000/big.bin" >/dev/null
    run_load 1; append ours1_list "$qps"; [ "$errors" = 0 ] || echo "rpc-query: worker errors: $errors (1 client)"
    run_load 32; append ours32_list "$qps"; append ours32_p99_list "$p99"
    [ "$errors" = 0 ] || echo "rpc-query: worker errors: $errors (32 clients)"
    stop_worker
}
for pair in $(seq 0 $((PAIRS - 1))); do
    in_pair_order "$pair" bare_round worker_round
done
echo "rpc-query: q/s per pair (1 client): worker $ours1_list; bare $bare1_list"
echo "rpc-query: q/s per pair (32 clients): worker $ours32_list; bare $bare32_list"
echo "rpc-query: p99 us per pair (32 clients): worker $ours32_p99_list; bare $bare32_p99_list"
paired_result rpc-query-1 q/s "$ours1_list" "$bare1_list"
paired_result rpc-query-32 q/s "$ours32_list" "$bare32_list"
paired_result rpc-query-p99-32 us "$ours32_p99_list" "$bare32_p99_list"

# Idle memory: the bare server and an idle worker, each settled, and where
# the difference lies, by mapping.
(cd "$build/test-bin" && exec "$wine_run" bare_rpc_server.exe >/dev/null 2>&1) &
worker=$!
wait_serving
bare_idle_kib=$(peak_kib)
bare_resident_kib=$(settled_rss_kib)
python3 "$top/bench/memory_map.py" snapshot "$worker" "$work/bare.map"
stop_worker

# The peak working set after a burst of 1 MB requests (refused unparsed)
# from 32 concurrent clients, in a fresh worker, against the idle worker's.
# The burst outlasts the worker's 30-second idle check, so a slow download
# keeps it running, before and after alike.
stop_worker
start_worker burst
"$wine_run" "$build/bin/kgupdate-ctl.exe" begin --url "https://localhost/_/slow=2000000/big.bin" >/dev/null
burst_idle_kib=$(peak_kib)
python3 -c "import sys; sys.stdout.write('{\"id\":\"queryAutoUpdateProgress\",\"pad\":\"' + 'x' * (1024 * 1024) + '\"}')" \
    >"$work/burst-1mb.json"
"$wine_run" "$build/test-bin/rpc_load.exe" --clients 32 --request-file "Z:$work/burst-1mb.json" --calls 8 \
    >"$work/burst.out" 2>&1 || true
burst_kib=$(peak_kib)
echo "rpc-query: burst of 256 requests of 1 MB: $(sed -n 's/.*\(clients=.*\)/\1/p' "$work/burst.out")"
result worker-burst-working-set "$(python3 -c "print(f'{$burst_kib / 1024:.1f}')")" \
    "$(python3 -c "print(f'{$burst_idle_kib / 1024:.1f}')")" MiB

# The peak working set over a whole 256 MiB update, in a fresh worker.
stop_worker
start_worker update
resident_kib=$(settled_rss_kib)
idle_kib=$(peak_kib)
python3 "$top/bench/memory_map.py" snapshot "$worker" "$work/worker.map"
python3 "$top/bench/memory_map.py" compare "$work/bare.map" "$work/worker.map"
follow_peak update
"$wine_run" "$build/bin/kgupdate-ctl.exe" begin --url https://localhost/big-installer.exe --args "--exit=0" --wait \
    >"$work/update.out" 2>&1 || { cat "$work/update.out"; exit 1; }
update_kib=$(followed_peak_kib)
stop_worker
echo "rpc-query: worker peak working set: idle $((idle_kib / 1024)) MiB, after a 256 MiB update $((update_kib / 1024)) MiB"
result worker-idle-resident "$(python3 -c "print(f'{$resident_kib / 1024:.1f}')")" \
    "$(python3 -c "print(f'{$bare_resident_kib / 1024:.1f}')")" MiB
result worker-idle-memory "$(python3 -c "print(f'{$idle_kib / 1024:.1f}')")" \
    "$(python3 -c "print(f'{$bare_idle_kib / 1024:.1f}')")" MiB
result worker-peak-working-set "$(python3 -c "print(f'{$update_kib / 1024:.1f}')")" \
    "$(python3 -c "print(f'{$idle_kib / 1024:.1f}')")" MiB
