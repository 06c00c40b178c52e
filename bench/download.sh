#!/usr/bin/env bash
# download: a 256 MiB file from the local HTTPS server through
# Downloader::Download under Wine, against native curl fetching the same file
# from the same server into a file; throughput in MB/s (higher is better).
# Also, side by side in the same run, against a bare WinHTTP read loop over
# the same file (the platform's own ceiling under Wine: reads as large as it
# likes), and against a bounded loop that reads only what is available,
# gathers into the same chunk size and writes once per chunk (the ceiling of
# a reader that no trickle can hold): how much of the time is ours.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
file=$(served_file big.bin 256)
start_server
cat "$file" >/dev/null
bytes=$(stat -c %s "$file")

seconds=$(best_seconds 3 curl -s --cacert "$server_work/pki/ca.pem" -o "$work/curl.bin" https://localhost/big.bin)
baseline=$(python3 -c "print(f'{$bytes / 1e6 / $seconds:.1f}')")
best_ours=
best_reads=
best_bounded=
for _ in 1 2 3; do
    "$wine_run" "$build/test-bin/download_bench.exe" https://localhost/big.bin "Z:$work/ours.bin" \
        >"$work/download.out" 2>&1 || { cat "$work/download.out"; exit 1; }
    read -r ours reads bounded < <(sed -n 's/^ours=\([0-9.]*\) reads=\([0-9.]*\) bounded=\([0-9.]*\).*/\1 \2 \3/p' "$work/download.out")
    best_ours=$(python3 -c "print(min(x for x in [$ours, ${best_ours:-1e9}]))")
    best_reads=$(python3 -c "print(min(x for x in [$reads, ${best_reads:-1e9}]))")
    best_bounded=$(python3 -c "print(min(x for x in [$bounded, ${best_bounded:-1e9}]))")
done
cmp -s "$file" "$work/ours.bin" || { echo "download: the file differs from the served one"; exit 1; }
rm -f "$work/ours.bin" "$work/curl.bin"
echo "download: Downloader ${best_ours}s, bare WinHTTP reads ${best_reads}s, bounded reads ${best_bounded}s, curl ${seconds}s for $bytes bytes"
ours_mbs=$(python3 -c "print(f'{$bytes / 1e6 / $best_ours:.1f}')")
result download "$ours_mbs" "$baseline" MB/s
result download-vs-winhttp "$ours_mbs" "$(python3 -c "print(f'{$bytes / 1e6 / $best_reads:.1f}')")" MB/s
result download-vs-bounded-winhttp "$ours_mbs" "$(python3 -c "print(f'{$bytes / 1e6 / $best_bounded:.1f}')")" MB/s
