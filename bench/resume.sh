#!/usr/bin/env bash
# resume: a 256 MiB download cut by the server at half, then resumed; the body
# bytes the server sent for it, over the file size (1.0 is the floor), in
# rounds: the median with the lowest and highest round.
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
file=$(served_file resume.bin 256)
start_server
bytes=$(stat -c %s "$file")
half=$((bytes / 2))
sent_list= size_list=
for round in $(seq 1 "$PAIRS"); do
    : >"$server_work/requests.log"
    "$wine_run" "$build/test-bin/resume_bench.exe" "Z:$work/resume.bin" \
        "https://localhost/_/close-after=$half/resume.bin?$round" "https://localhost/resume.bin?$round" \
        >"$work/resume.out" 2>&1 || { cat "$work/resume.out"; exit 1; }
    cmp -s "$file" "$work/resume.bin" || { echo "resume: the file differs from the served one"; exit 1; }
    # The server logs a request right after its last byte: wait for both.
    for _ in $(seq 100); do
        [ "$(grep -c "resume.bin?$round" "$server_work/requests.log")" -ge 2 ] && break
        sleep 0.1
    done
    sent=$(awk -F'\t' -v r="resume.bin?$round" 'index($5, r) { s += $3 } END { print s }' "$server_work/requests.log")
    awk -F'\t' '{ print "resume:   " $2 " " $4 " " $3 " bytes" }' "$server_work/requests.log"
    append sent_list "$sent"
    append size_list "$bytes"
done
rm -f "$work/resume.bin"
echo "resume: body bytes sent per round for a file of $bytes bytes: $sent_list"
paired_result resume B "$sent_list" "$size_list"
