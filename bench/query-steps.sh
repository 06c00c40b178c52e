#!/usr/bin/env bash
# query-steps: where the worker's time for one plain progress query goes,
# step by step, in the process (bench/query_steps_bench.cpp), in
# microseconds per call; to read beside rpc-query's figures (the worker's
# time per query at 1 client, less the bare server's).
set -euo pipefail
source "$(dirname "$0")/common.sh"

start_wine
"$wine_run" "$build/test-bin/query_steps_bench.exe" >"$work/query-steps.console" 2>"$work/query-steps.out" ||
    { cat "$work/query-steps.out"; exit 1; }
steps=$(tr -d '\r' <"$work/query-steps.out" | grep '^slots=')
[ -n "$steps" ] || { cat "$work/query-steps.out"; exit 1; }
echo "query-steps: $steps"
read -r total <<<"$(python3 -c "
import re
f = dict((k, float(v)) for k, v in re.findall(r'(\w+)=([0-9.]+)', '$steps'))
print(f'{f[\"slots\"] + f[\"parse\"] + f[\"detail\"] + f[\"compose\"] + f[\"line\"] * f[\"lines\"]:.1f}')")"
echo "query-steps: in the process, one plain query costs about ${total} us"
