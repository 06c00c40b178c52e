#!/usr/bin/env bash
# download-service-vs-cli: the throughput of one whole update (download,
# checks, installer) through a worker that the service started, against the
# same update through a worker started from the command line: same installer,
# same server, served at about 500 kB/s so that the download takes many reads,
# as a real one over a modest link does. In alternating pairs of rounds;
# ratio = service / command line.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
installer=$(installer_file service-installer.exe 2)
size=$(stat -c %s "$installer")
start_server
service=kgbench-service
drive_c=$prefix/drive_c
round=0

# Seconds of one whole update through the running worker.
timed_update() {
    local started ended
    started=$(date +%s.%N)
    "$wine_run" "$build/bin/kgupdate-ctl.exe" begin --url "https://localhost/_/slow=500000/service-installer.exe?$1" \
        --args "--exit=0" --wait >"$work/service-$1.out" 2>&1 || { cat "$work/service-$1.out"; exit 1; }
    ended=$(date +%s.%N)
    python3 -c "print(f'{$ended - $started:.3f}')"
}

stop_service_worker() {  # the worker of this script's own prefix, by its id
    local pid
    for pid in $("$top/tools/wine_pids.py" "$prefix" kgclient_update_worker.exe | awk '{ print $1 }'); do
        kill "$pid" 2>/dev/null || true
    done
    # Gone before the next round's worker registers the endpoint.
    for _ in $(seq 150); do
        [ -z "$("$top/tools/wine_pids.py" "$prefix" kgclient_update_worker.exe)" ] && break
        sleep 0.2
    done
    "$wine_run" sc delete "$service" >/dev/null 2>&1 || true
}

mbs() {  # seconds -> MB/s of the installer
    python3 -c "print(f'{$size / $1 / 1e6:.3f}')"
}

cli_list= service_list=
# From the command line, its console to a file (as the demo and the tests run it).
cli() {
    round=$((round + 1))
    start_cli_worker "$work/worker-cli.log"
    append cli_list "$(mbs "$(timed_update "cli$round")")"
    stop_cli_worker
}

# Started by the service, as deployed.
program_dir="$drive_c/Program Files/kestrelGATE/Client"
mkdir -p "$program_dir"
cp "$build/bin/kgclient_update.exe" "$program_dir/"
trap 'stop_service_worker; stop_all' EXIT
service_run() {
    round=$((round + 1))
    rm -rf "$drive_c/ProgramData/kestrelGATE"
    "$wine_run" sc delete "$service" >/dev/null 2>&1 || true
    "$wine_run" sc create "$service" binPath= '"C:\Program Files\kestrelGATE\Client\kgclient_update.exe" -service' >/dev/null
    "$wine_run" sc start "$service" >/dev/null
    wait_serving
    append service_list "$(mbs "$(timed_update "service$round")")"
    stop_service_worker
}

for pair in $(seq 0 $((PAIRS - 1))); do
    in_pair_order "$pair" cli service_run
done
echo "download-service: $size bytes, MB/s per pair: command line $cli_list; service $service_list"
paired_result download-service-vs-cli MB/s "$service_list" "$cli_list"
