#!/bin/sh
# A short sequence campaign passes; its JSON results hold a line per
# sequence with the runs drawn; a replay of one sequence draws the same runs
# and ends the same way; the command line refuses what it cannot run.
#
# usage: seq_campaign_test.sh BIN_DIR OUT_DIR SEQUENCES
set -u
bin=$1
out=$2
count=$3
seed=20261209
rm -rf "$out"
mkdir -p "$out"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

rc=0
"$bin/routersim" campaign --sequences "$count" --seed "$seed" -j 2 --time-scale 100 --quiet \
    --json "$out/all.json" --work "$out/work" > "$out/campaign.log" 2>&1 || rc=$?
cat "$out/campaign.log"
[ "$rc" -eq 0 ] || fail "the sample campaign exited with $rc, not 0"
grep -qxF "campaign passed: $count of $count sequences run, 0 failed" "$out/campaign.log" ||
    fail "no verdict line for $count passing sequences"
[ "$(wc -l < "$out/all.json")" -eq "$count" ] || fail "all.json does not hold one line per sequence"

# Sequence 1 again, alone: the same runs in the same order, the same result.
rc=0
"$bin/routersim" campaign --replay "$seed:1" --time-scale 100 --work "$out/replay-work" \
    > "$out/replay.log" 2>&1 || rc=$?
cat "$out/replay.log"
line=$(grep "\"sequence\":1," "$out/all.json")
want=$(printf '%s\n' "$line" | grep -o '"run":"[^"]*"' | sed 's/^"run":"//; s/"$//')
have=$(sed -n 's/^run [0-9]*: \(.*\): \(not \)*installed.*/\1/p' "$out/replay.log")
[ -n "$want" ] && [ "$want" = "$have" ] || fail "the replay ran \"$have\", the campaign \"$want\""
printf '%s\n' "$line" | grep -q '"result":"pass"' || fail "sequence 1 failed in the campaign"
[ "$rc" -eq 0 ] || fail "the replay exited with $rc"
grep -qxF "sequence 1 of seed $seed:" "$out/replay.log" || fail "the replay does not name its sequence"
[ -d "$out/replay-work/failed/seed-$seed-seq-1/modem/out.1" ] || fail "the replay did not keep its router"

# A run over its bound: the sequence is run once more, and fails again.
# Sequence 75 (alone, as shard 76 of 76) begins with a run whose modem falls
# silent during the NV restore, about 450 simulated seconds; a bound of 300
# leaves the clean reference run (about 120) within it.
rc=0
"$bin/routersim" campaign --sequences 76 --shard 76/76 --seed "$seed" --limit 300 --time-scale 100 --quiet \
    --work "$out/limit-work" > "$out/limit.log" 2>&1 || rc=$?
cat "$out/limit.log"
[ "$rc" -eq 1 ] || fail "a campaign whose run breaks the bound exited with $rc, not 1"
grep -q "^sequence 75 of seed $seed: the first attempt failed the time check (run 1: the run ended after [0-9]* simulated seconds (the bound is 300)); run again: failed\$" \
    "$out/limit.log" || fail "the sequence run again after its time failure is not named"
grep -qxF "run again after failing only the time check: 1" "$out/limit.log" || fail "no count of sequences run again"

# Usage errors: one line, status 2.
for args in "--sequences 0" "--replay 7" "--sequences 3 --replay 1:2" "--sequences 2 --cut-mode torn" \
            "--replay 1:2 --seed 4"; do
    rc=0
    # shellcheck disable=SC2086 # the words are options
    "$bin/routersim" campaign $args > "$out/usage.out" 2> "$out/usage.err" || rc=$?
    [ "$rc" -eq 2 ] && [ "$(wc -l < "$out/usage.err")" -eq 1 ] || fail "campaign $args: status $rc, $(cat "$out/usage.err")"
done

[ "$failures" -eq 0 ] && rm -rf "$out"
echo "$failures failed"
[ "$failures" -eq 0 ]
