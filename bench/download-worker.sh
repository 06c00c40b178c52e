#!/usr/bin/env bash
# download-worker-vs-winhttp: what a user gets: one whole update of a 256 MiB
# installer through the worker (command-line mode, its console to a file, its
# run log on: download, digest, installer), against a bare WinHTTP read loop
# of the same URL (the platform's ceiling), as throughput. Best of 3 each.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
installer=$(installer_file big-installer.exe 256)
size=$(stat -c %s "$installer")
hash=$(sha256sum "$installer" | cut -d' ' -f1)
start_server

best_update=
best_reads=
for run in 1 2 3; do
    rm -rf "$prefix/drive_c/ProgramData/kestrelGATE"
    (cd "$build/bin" && exec "$wine_run" kgclient_update.exe >"$work/worker-download.log" 2>&1) &
    worker=$!
    wait_serving
    started=$(date +%s.%N)
    "$wine_run" "$build/bin/kgupdate-ctl.exe" begin --url "https://localhost/big-installer.exe?run$run" \
        --hash "$hash" --args "--exit=0" --wait >"$work/download-worker.out" 2>&1 ||
        { cat "$work/download-worker.out"; exit 1; }
    ended=$(date +%s.%N)
    kill "$worker" 2>/dev/null || true
    wait "$worker" 2>/dev/null || true
    seconds=$(python3 -c "print(f'{$ended - $started:.3f}')")
    "$wine_run" "$build/test-bin/download_bench.exe" --bare "https://localhost/big-installer.exe?bare$run" \
        >"$work/download-bare.out" 2>&1 || { cat "$work/download-bare.out"; exit 1; }
    reads=$(sed -n 's/^reads=\([0-9.]*\).*/\1/p' "$work/download-bare.out")
    best_update=$(python3 -c "print(min(x for x in [$seconds, ${best_update:-1e9}]))")
    best_reads=$(python3 -c "print(min(x for x in [$reads, ${best_reads:-1e9}]))")
done
echo "download-worker: whole update ${best_update}s, bare WinHTTP reads ${best_reads}s for $size bytes"
result download-worker-vs-winhttp "$(python3 -c "print(f'{$size / 1e6 / $best_update:.1f}')")" \
    "$(python3 -c "print(f'{$size / 1e6 / $best_reads:.1f}')")" MB/s
