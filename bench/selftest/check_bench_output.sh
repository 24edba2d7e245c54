#!/bin/sh
# The benchmark programs keep the library's output flags and fail on errors:
#   check_bench_output.sh PROBE [PROGRAM FILTER]...
# PROBE is bench_flags_probe (one benchmark that runs, one that reports an
# error); each PROGRAM (a real benchmark program) is run once on the one tiny
# case FILTER names, with --benchmark_format=json. Needs python3 (json).
set -u
probe=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/benchflags.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
fails=0

fail() {
    echo "FAIL: $*" >&2
    fails=$((fails + 1))
}

# run NAME EXPECTED_STATUS PROGRAM ARGS...: stdout to $work/NAME.out
run() {
    name=$1 want=$2
    shift 2
    "$@" >"$work/$name.out" 2>"$work/$name.err"
    got=$?
    [ "$got" = "$want" ] || { fail "$name: status $got, not $want: $*"; cat "$work/$name.err" >&2; }
}

# json_check NAME FILE PYTHON_EXPRESSION: FILE parses as JSON and the
# expression over it (named j) is true.
json_check() {
    python3 -c 'import json, sys
j = json.load(open(sys.argv[1]))
sys.exit(0 if eval(sys.argv[2]) else 1)' "$2" "$3" || { fail "$1: $2 is not JSON with $3"; head -c 2000 "$2" | cat -v >&2; }
}

run json-ok 0 "$probe" --benchmark_filter=BM_ProbeRuns --benchmark_format=json
json_check json-ok "$work/json-ok.out" \
    '[b["name"] for b in j["benchmarks"]] == ["BM_ProbeRuns/iterations:10"] and j["benchmarks"][0]["iterations"] == 10'

run json-error 1 "$probe" --benchmark_filter=BM_ProbeReportsAnError --benchmark_format=json
json_check json-error "$work/json-error.out" \
    'j["benchmarks"][0]["error_occurred"] and j["benchmarks"][0]["error_message"] == "the probe'"'"'s deliberate error"'
grep -q 'bench_flags_probe: 1 benchmark run(s) reported an error' "$work/json-error.err" ||
    fail "json-error: stderr does not name the error"

run csv 0 "$probe" --benchmark_filter=BM_ProbeRuns --benchmark_format=csv
head -n 1 "$work/csv.out" | grep -q '^name,iterations,real_time,cpu_time,time_unit,' ||
    fail "csv: no CSV header: $(head -c 200 "$work/csv.out" | cat -v)"
grep -q '^"BM_ProbeRuns/iterations:10",10,' "$work/csv.out" || fail "csv: no row of BM_ProbeRuns"

# The console on the terminal, JSON in the file.
run out-file 1 "$probe" --benchmark_out="$work/all.json" --benchmark_out_format=json
json_check out-file "$work/all.json" \
    '[b["name"] for b in j["benchmarks"]] == ["BM_ProbeRuns/iterations:10", "BM_ProbeReportsAnError"]'
grep -q '^BM_ProbeRuns/iterations:10 ' "$work/out-file.out" || fail "out-file: the console table is missing"

run no-match 1 "$probe" --benchmark_filter=NoSuchBenchmark

while [ $# -ge 2 ]; do
    name=$(basename "$1")
    run "$name" 0 "$1" "--benchmark_filter=$2" --benchmark_min_time=0.001 --benchmark_format=json
    json_check "$name" "$work/$name.out" 'len(j["benchmarks"]) >= 1 and not any(b.get("error_occurred") for b in j["benchmarks"])'
    shift 2
done

[ "$fails" = 0 ] && echo "benchmark output flags: all checks passed"
exit "$fails"
