# Shared by the benchmark scripts: paths, the Wine prefix, the RESULT line.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$top/build
wine_run=$build/wine-run
prefix=$build/wineprefix
work=$build/bench-data
mkdir -p "$work"

start_wine() {
    "$top/scripts/wine-prefix" start "$prefix"
    trap '"$top/scripts/wine-prefix" stop "$prefix"' EXIT
}

# result NAME OURS BASELINE UNIT: ratio = ours / baseline
result() {
    local ratio
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
