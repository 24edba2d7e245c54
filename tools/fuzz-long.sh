#!/usr/bin/env bash
# Fuzzes every target of tests/fuzz with libFuzzer (clang, ASan and UBSan),
# one target after another in a single process each, and prints each
# target's executions and crashes.
#
#   tools/fuzz-long.sh                       # 10 million runs per target
#   tools/fuzz-long.sh --runs 1000000        # fewer
#   tools/fuzz-long.sh --seconds 15          # a fixed time per target (CI)
#   tools/fuzz-long.sh --build DIR --targets "package cgi_query"
#
# The build goes to build-fuzz (UP_FUZZ=ON). The seed corpora are replayed
# first (each seed runs once; any failure stops the script). Each target starts from its seed
# corpus and grows a working corpus in BUILD/fuzz-work/<target>, which a
# later run reuses; the seeds in the repository are never written. A crash
# leaves its input in BUILD/fuzz-artifacts/<target>/ and the run goes on from
# where it stopped until the count is reached; the exit status is 1 when any
# target crashed. The summary is also written to BUILD/fuzz-summary.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

runs=10000000
seconds=""
build=build-fuzz
targets=""
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --targets) targets=$2; shift 2 ;;
    -h | --help) echo "usage: $0 [--runs N | --seconds S] [--build DIR] [--targets \"t1 t2\"]"; exit 0 ;;
    *) echo "$0: unknown argument '$1' (usage: $0 [--runs N | --seconds S] [--build DIR] [--targets \"t1 t2\"])" >&2; exit 2 ;;
    esac
done
case "$runs$seconds" in
*[!0-9]*) echo "--runs and --seconds take a number" >&2; exit 2 ;;
esac

. tools/step-lib.sh
name_failed_steps
mkdir -p "$build"
CC=clang CXX=clang++ run_step "configuring the fuzz build" "$build/configure.log" \
    cmake -S . -B "$build" -G Ninja -DUP_FUZZ=ON -DUP_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2 --target fuzz_targets
build=$(cd "$build" && pwd)
# Every seed must run clean before any fuzzing.
(cd "$build" && ctest --output-on-failure -R '^fuzz_replay_')

if [ -z "$targets" ]; then
    targets=$(cd "$ROOT/tests/fuzz/corpus" && ls)
fi

# Largest input per target. The stream-write check looks at no more than 37
# bytes; a 512-byte package holds 5 descriptors, enough for every check of
# the table, and each descriptor costs the reader several system calls; a
# 1 KiB stream or query reaches every state of its parser (the HDLC target also tries a
# 16-byte receive buffer, so overlong frames need no 4 KiB input). Longer
# inputs would only make each run slower on this shared machine.
target_options() {
    case "$1" in
    stream_reply) echo "-max_len=64" ;;
    package) echo "-max_len=512" ;;
    at_answer) echo "-max_len=1061" ;;     # mode byte, identity record, 512-byte answer
    version_merge) echo "-max_len=2048" ;;
    *) echo "-max_len=1024" ;;
    esac
}

summary="$build/fuzz-summary.txt"
printf '%-16s %12s %8s %8s\n' target executions crashes seconds | tee "$summary"
failed=0
for t in $targets; do
    bin="$build/bin/fuzz_$t"
    [ -x "$bin" ] || { echo "no fuzz target $t" >&2; exit 2; }
    work="$build/fuzz-work/$t"
    art="$build/fuzz-artifacts/$t"
    mkdir -p "$work" "$art"
    log="$build/fuzz-$t.log"
    : >"$log"
    done_runs=0
    crashes=0
    start=$(date +%s)
    while :; do
        if [ -n "$seconds" ]; then
            left=$(( seconds - ($(date +%s) - start) ))
            [ "$left" -gt 0 ] || break
            limit=(-max_total_time="$left")
        else
            left=$(( runs - done_runs ))
            [ "$left" -gt 0 ] || break
            limit=(-runs="$left")
        fi
        before=$(find "$art" -type f | wc -l)
        pass="$build/fuzz-$t.pass.log"
        set +e
        # shellcheck disable=SC2046
        "$bin" "${limit[@]}" $(target_options "$t") -close_fd_mask=1 -print_final_stats=1 \
            -artifact_prefix="$art/" "$work" "$ROOT/tests/fuzz/corpus/$t" >"$pass" 2>&1
        rc=$?
        set -e
        cat "$pass" >>"$log"
        # The pass's own count: its final statistics, or after a crash the
        # last progress line ("#N ...") when no statistics were printed.
        n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$pass" | tail -1 | grep -o '[0-9]*$' || true)
        [ -n "$n" ] || n=$(grep -o '^#[0-9]*' "$pass" | tail -1 | tr -d '#' || true)
        done_runs=$(( done_runs + ${n:-0} ))
        rm -f "$pass"
        if [ "$rc" -eq 0 ]; then
            [ -n "$seconds" ] && break
            continue
        fi
        after=$(find "$art" -type f | wc -l)
        if [ "$after" -le "$before" ]; then
            echo "fuzz_$t failed without leaving an input (see $log)" >&2
            crashes=$(( crashes + 1 ))
            failed=1
            break
        fi
        crashes=$(( crashes + after - before ))
        failed=1
        echo "fuzz_$t: crash, input kept in $art (see $log)" >&2
        if [ "$crashes" -ge 20 ]; then
            echo "fuzz_$t: 20 crashes, giving up on this target" >&2
            break
        fi
    done
    took=$(( $(date +%s) - start ))
    printf '%-16s %12s %8s %8s\n' "$t" "$done_runs" "$crashes" "$took" | tee -a "$summary"
done
exit "$failed"
