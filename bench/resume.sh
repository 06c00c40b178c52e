#!/usr/bin/env bash
# resume: a 256 MiB download cut by the server at half, then resumed; the
# body bytes the server sent for it, over the file size (1.0 is the floor).
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
file=$(served_file resume.bin 256)
start_server
bytes=$(stat -c %s "$file")
half=$((bytes / 2))
: >"$server_work/requests.log"
"$wine_run" "$build/test-bin/resume_bench.exe" "Z:$work/resume.bin" \
    "https://localhost/_/close-after=$half/resume.bin" https://localhost/resume.bin \
    >"$work/resume.out" 2>&1 || { cat "$work/resume.out"; exit 1; }
cmp -s "$file" "$work/resume.bin" || { echo "resume: the file differs from the served one"; exit 1; }
rm -f "$work/resume.bin"
sleep 1  # the server logs a request right after its last byte
sent=$(awk -F'\t' '$5 ~ /resume.bin$/ { s += $3 } END { print s }' "$server_work/requests.log")
echo "resume: the server sent $sent body bytes for a file of $bytes bytes"
awk -F'\t' '$5 ~ /resume.bin$/ { print "resume:   " $2 " " $4 " " $3 " bytes" }' "$server_work/requests.log"
result resume "$sent" "$bytes" B
