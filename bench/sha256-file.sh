#!/usr/bin/env bash
# sha256-file: Sha256::CheckFile under Wine against native `openssl dgst
# -sha256` on the same 512 MiB file, throughput in MB/s (warm page cache), in
# alternating pairs of rounds.
set -euo pipefail
source "$(dirname "$0")/common.sh"

file=$work/sha256-512MiB.bin
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != $((512 * 1024 * 1024)) ]; then
    head -c $((512 * 1024 * 1024)) /dev/urandom >"$file"
fi
cat "$file" >/dev/null  # warm the page cache for both

start_wine
bytes=$(stat -c %s "$file")
ours_list= base_list=
baseline() {
    append base_list "$(python3 -c "print(f'{$bytes / 1e6 / $(best_seconds 1 openssl dgst -sha256 "$file"):.1f}')")"
}
ours() {
    "$wine_run" "$build/test-bin/sha256_file_bench.exe" "Z:$file" 1 >"$work/sha256-file.out" 2>&1
    local mbps
    mbps=$(sed -n 's/^MBps=\([0-9.]*\).*/\1/p' "$work/sha256-file.out")
    [ -n "$mbps" ] || { cat "$work/sha256-file.out"; exit 1; }
    append ours_list "$mbps"
}
for pair in $(seq 0 $((PAIRS - 1))); do
    in_pair_order "$pair" baseline ours
done
paired_result sha256-file MB/s "$ours_list" "$base_list"
