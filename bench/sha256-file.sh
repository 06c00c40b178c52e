#!/usr/bin/env bash
# sha256-file: Sha256::CheckFile under Wine against native `openssl dgst
# -sha256` on the same 512 MiB file, throughput in MB/s (warm page cache).
set -euo pipefail
source "$(dirname "$0")/common.sh"

file=$work/sha256-512MiB.bin
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != $((512 * 1024 * 1024)) ]; then
    head -c $((512 * 1024 * 1024)) /dev/urandom >"$file"
fi
cat "$file" >/dev/null  # warm the page cache for both

start_wine
bytes=$(stat -c %s "$file")
seconds=$(best_seconds 3 openssl dgst -sha256 "$file")
baseline=$(python3 -c "print(f'{$bytes / 1e6 / $seconds:.1f}')")
"$wine_run" "$build/test-bin/sha256_file_bench.exe" "Z:$file" 3 >"$work/sha256-file.out" 2>&1
ours=$(sed -n 's/^MBps=\([0-9.]*\).*/\1/p' "$work/sha256-file.out")
[ -n "$ours" ] || { cat "$work/sha256-file.out"; exit 1; }
result sha256-file "$ours" "$baseline" MB/s
