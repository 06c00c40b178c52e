#!/usr/bin/env bash
# download-worker-vs-winhttp: what a user gets: one whole update of a 128 MiB
# installer through the worker (command-line mode, its console to a file, its
# run log on: download, digest, installer), against a bare WinHTTP read loop
# of the same URL (the platform's ceiling), as throughput, in alternating
# pairs of rounds.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
installer=$(installer_file worker-installer.exe 128)
size=$(stat -c %s "$installer")
hash=$(sha256sum "$installer" | cut -d' ' -f1)
start_server

mbs() {  # seconds -> MB/s of the installer
    python3 -c "print(f'{$size / 1e6 / $1:.2f}')"
}
update_list= reads_list= round=0
ours() {
    round=$((round + 1))
    start_cli_worker "$work/worker-download.log"
    local started ended
    started=$(date +%s.%N)
    "$wine_run" "$build/bin/kgupdate-ctl.exe" begin --url "https://localhost/worker-installer.exe?run$round" \
        --hash "$hash" --args "--exit=0" --wait >"$work/download-worker.out" 2>&1 ||
        { cat "$work/download-worker.out"; exit 1; }
    ended=$(date +%s.%N)
    stop_cli_worker
    append update_list "$(mbs "$(python3 -c "print(f'{$ended - $started:.3f}')")")"
}
baseline() {
    "$wine_run" "$build/test-bin/download_bench.exe" --bare "https://localhost/worker-installer.exe?bare$round" \
        >"$work/download-bare.out" 2>&1 || { cat "$work/download-bare.out"; exit 1; }
    append reads_list "$(mbs "$(sed -n 's/^reads=\([0-9.]*\).*/\1/p' "$work/download-bare.out")")"
}
for pair in $(seq 0 $((PAIRS - 1))); do
    in_pair_order "$pair" baseline ours
done
echo "download-worker: MB/s per pair: whole update $update_list; bare WinHTTP reads $reads_list"
paired_result download-worker-vs-winhttp MB/s "$update_list" "$reads_list"
