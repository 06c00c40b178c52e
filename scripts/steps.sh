# Shared by the scripts that set a machine up and build: one line per step,
# saying what it did and how long it took. A step's own output goes to its
# log file; a step that fails names itself and its log, and shows the log's
# last lines.
#
#   run_step LOG TEXT COMMAND...    e.g. run_step "$log" "building GoogleTest" make ...

run_step() {
    local log=$1 text=$2 start=$SECONDS status=0
    shift 2
    mkdir -p "$(dirname "$log")"
    "$@" >"$log" 2>&1 </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        echo "$text: FAILED after $((SECONDS - start)) s (exit $status); its log: $log" >&2
        tail -n 40 "$log" | sed 's/^/    /' >&2
        return "$status"
    fi
    echo "$text: $((SECONDS - start)) s"
}
