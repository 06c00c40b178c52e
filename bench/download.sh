#!/usr/bin/env bash
# download: a 128 MiB file from the local HTTPS server through
# Downloader::Download under Wine, against native curl fetching the same file
# from the same server into a file; throughput in MB/s (higher is better).
# Also against a bare WinHTTP read loop over the same file (the platform's
# own ceiling under Wine: reads as large as it likes), and against a bounded
# loop that reads only what is available, gathers into the same chunk size
# and writes once per chunk (the ceiling of a reader that no trickle can
# hold): how much of the time is ours. In alternating pairs of rounds.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
file=$(served_file download.bin 128)
start_server
cat "$file" >/dev/null
bytes=$(stat -c %s "$file")
url=https://localhost/download.bin

mbs() {  # seconds -> MB/s of the file
    python3 -c "print(f'{$bytes / 1e6 / $1:.2f}')"
}
timed_bench() {  # download_bench arguments -> prints its seconds
    "$wine_run" "$build/test-bin/download_bench.exe" "$@" >"$work/download.out" 2>&1 ||
        { cat "$work/download.out" >&2; exit 1; }
    sed -n 's/^[a-z]*=\([0-9.]*\).*/\1/p' "$work/download.out"
}

ours_list= curl_list= reads_list= bounded_list=
baselines() {
    append curl_list "$(mbs "$(best_seconds 1 curl -s --cacert "$server_work/pki/ca.pem" \
        -o "$work/curl.bin" "$url")")"
    append reads_list "$(mbs "$(timed_bench --bare "$url")")"
    append bounded_list "$(mbs "$(timed_bench --bounded "$url" "Z:$work/bounded.bin")")"
}
ours() {
    append ours_list "$(mbs "$(timed_bench --ours "$url" "Z:$work/ours.bin")")"
    cmp -s "$file" "$work/ours.bin" || { echo "download: the file differs from the served one"; exit 1; }
}
for pair in $(seq 0 $((PAIRS - 1))); do
    in_pair_order "$pair" baselines ours
done
rm -f "$work/ours.bin" "$work/curl.bin"
echo "download: MB/s per pair: Downloader $ours_list; curl $curl_list; bare WinHTTP reads $reads_list; bounded reads $bounded_list"
paired_result download MB/s "$ours_list" "$curl_list"
paired_result download-vs-winhttp MB/s "$ours_list" "$reads_list"
paired_result download-vs-bounded-winhttp MB/s "$ours_list" "$bounded_list"
