#!/usr/bin/env bash
# log-disabled: a log call that nothing wants against an empty non-inlined
# call, nanoseconds per call (lower is better; the ratio is ours/baseline).
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
"$wine_run" "$build/test-bin/log_disabled_bench.exe" >"$work/log-disabled.out" 2>&1
ours=$(sed -n 's/^ours=\([0-9.]*\) .*/\1/p' "$work/log-disabled.out")
baseline=$(sed -n 's/.*baseline=\([0-9.]*\).*/\1/p' "$work/log-disabled.out")
[ -n "$ours" ] && [ -n "$baseline" ] || { cat "$work/log-disabled.out"; exit 1; }
result log-disabled "$ours" "$baseline" ns
