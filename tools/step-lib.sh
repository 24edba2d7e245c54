# Shared by the scripts the README names (sourced, not run): run one step of a
# script quietly and, when it fails, show why.

# run_step NAME LOG CMD ARGS...: runs CMD with its output in LOG. On failure
# prints the tool's own messages (the output without ninja's progress lines,
# at most its last 80 lines), then one line naming the step and the log, and
# returns the command's status.
run_step() {
    local name=$1 log=$2 rc=0
    shift 2
    "$@" >"$log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
        grep -v '^\[[0-9]*/[0-9]*\] ' "$log" | tail -n 80 >&2
        echo "${0##*/}: step failed: $name (status $rc; whole output in $log)" >&2
        _step_named=1
    fi
    return "$rc"
}

# name_failed_steps: under set -e, a failing command ends the script; this
# prints the command and its line first, so the last line says which step
# failed (the command's own message comes before it).
name_failed_steps() {
    # A run_step that failed has named its step already.
    trap 'rc=$?; [ -n "${_step_named:-}" ] || echo "${0##*/}: step failed (status $rc) at line $LINENO: $BASH_COMMAND" >&2' ERR
}
