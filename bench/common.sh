# Shared by the benchmark scripts: paths, the Wine prefix, the RESULT line.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$top/build
wine_run=$build/wine-run
prefix=$build/wineprefix
work=$build/bench-data
mkdir -p "$work"

# Network benchmarks run in a network namespace of their own (scripts/bench
# puts them there), with the local HTTPS update server of tools/test-server.
server_work=$build/bench-server

start_wine() {
    "$top/scripts/wine-prefix" start "$prefix"
    trap 'stop_all' EXIT
}

start_server() {
    "$top/tools/test-server" start "$server_work" "$prefix"
}

stop_all() {
    "$top/tools/test-server" stop "$server_work" 2>/dev/null || true
    "$top/scripts/wine-prefix" stop "$prefix"
}

# A file of N MiB of random bytes in the server's folder (made once).
served_file() {
    local name=$1 mib=$2
    local file=$server_work/www/$name
    mkdir -p "$server_work/www"
    if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != $((mib * 1024 * 1024)) ]; then
        head -c $((mib * 1024 * 1024)) /dev/urandom >"$file"
    fi
    echo "$file"
}

# A real installer of N MiB in the server's folder, named NAME: the test
# installer with random data appended (the loader ignores what follows the
# image). Made once per build of the test installer.
installer_file() {
    local name=$1 mib=$2
    local file=$server_work/www/$name
    mkdir -p "$server_work/www"
    if [ ! -f "$file" ] || [ "$file" -ot "$build/test-bin/test_installer.exe" ] ||
        [ "$(stat -c %s "$file")" != $((mib * 1024 * 1024)) ]; then
        # No pipe: with pipefail, a writer cut off by head would fail the script.
        cp "$build/test-bin/test_installer.exe" "$file"
        head -c $((mib * 1024 * 1024 - $(stat -c %s "$file"))) /dev/urandom >>"$file"
    fi
    echo "$file"
}

# Starts kgclient_update.exe in command-line mode with an empty cache, its
# console to the file LOG (as the demo and the tests run it), and waits until
# it serves. Sets $worker.
start_cli_worker() {
    rm -rf "$prefix/drive_c/ProgramData/kestrelGATE"
    (cd "$build/bin" && exec "$wine_run" kgclient_update.exe >"$1" 2>&1) &
    worker=$!
    wait_serving
}

# Ends the worker this script started, by its id.
stop_cli_worker() {
    kill "$worker" 2>/dev/null || true
    wait "$worker" 2>/dev/null || true
}

# Waits until an RPC server of the prefix answers a query (at most a minute).
wait_serving() {
    local query='{"id":"queryAutoUpdateProgress"}'
    for _ in $(seq 120); do
        "$wine_run" "$build/test-bin/rpc_load.exe" --clients 1 --request "$query" --calls 1 >"$work/probe.out" 2>&1 &&
            return 0
        sleep 0.5
    done
    echo "bench: the server never answered"; cat "$work/probe.out"; exit 1
}

# Benchmarks that compare two programs measure them in alternating rounds:
# PAIRS pairs (at least 5), the baseline first in even pairs and ours first in
# odd ones, and report the median of the per-pair ratios with the lowest and
# highest beside it (paired_result).
PAIRS=${KG_BENCH_PAIRS:-5}
[ "$PAIRS" -ge 5 ] || { echo "bench: at least 5 pairs (KG_BENCH_PAIRS=$PAIRS)" >&2; exit 2; }

# baseline_first PAIR: true when that pair measures the baseline first.
baseline_first() {
    [ $(($1 % 2)) -eq 0 ]
}

# in_pair_order PAIR BASELINE_COMMAND OURS_COMMAND: runs both, in that pair's
# order (each a shell function or command that records its own figure).
in_pair_order() {
    if baseline_first "$1"; then
        "$2"
        "$3"
    else
        "$3"
        "$2"
    fi
}

# paired_result NAME UNIT OURS BASELINE: OURS and BASELINE the per-pair
# figures, comma-separated; prints the RESULT line with the median ratio and
# its spread (bench/paired.py).
paired_result() {
    python3 "$top/bench/paired.py" "$1" "$2" "$3" "$4"
}

# Appends a figure to a comma-separated list held in the variable NAME.
append() {
    local -n list=$1
    list=${list:+$list,}$2
}

# result NAME OURS BASELINE UNIT: ratio = ours / baseline. A missing or
# non-numeric figure fails the benchmark with its name.
result() {
    local ratio
    if ! [[ "$2" =~ ^[0-9]+(\.[0-9]+)?$ && "$3" =~ ^[0-9]+(\.[0-9]+)?$ ]] || [[ "$3" =~ ^0*(\.0*)?$ ]]; then
        echo "bench: $1: a figure is missing (ours='$2', baseline='$3')" >&2
        exit 1
    fi
    ratio=$(python3 -c "print(f'{$2 / $3:.3f}')")
    echo "RESULT $1 ours=$2$4 baseline=$3$4 ratio=$ratio"
}

# Wall-clock seconds of a command, best of N runs.
best_seconds() {
    local runs=$1
    shift
    python3 - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs = int(sys.argv[1]); cmd = sys.argv[2:]
best = min(
    (lambda t0: (subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True), time.perf_counter() - t0)[1])(time.perf_counter())
    for _ in range(runs))
print(f"{best:.4f}")
PY
}
