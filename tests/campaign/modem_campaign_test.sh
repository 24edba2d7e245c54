#!/bin/sh
# A modem campaign over a handful of points passes; against a modem that
# refuses the identity indicator's write (a modem fault), the campaign fails
# already in its uncut upgrade and names the identity value the modem lost.
#
# usage: modem_campaign_test.sh BIN_DIR OUT_DIR
set -u
bin=$1
out=$2
script=$(cd "$(dirname "$0")/../../tools" && pwd)/campaign.sh
rm -rf "$out"
mkdir -p "$out"
failures=0

expect_line() {   # FILE LINE: the file holds the line exactly
    if ! grep -qxF -- "$2" "$1"; then
        echo "FAIL: $1 lacks the line: $2"
        failures=$((failures + 1))
    fi
}

expect_status() {   # WHAT GOT WANT
    if [ "$2" -ne "$3" ]; then
        echo "FAIL: $1 exited with $2, not $3"
        failures=$((failures + 1))
    fi
}

# One point of each kind that changes the modem (the first image, the reset,
# an RF NV write and the last NV write) and the first exchange.
rc=0
CAMPAIGNS=modem "$script" "$bin" "$out/pass" --modem-cut image:1 --modem-cut reset:1 --modem-cut rfnv-write:3 \
    --modem-cut nv-write:330 --modem-cut exchange:1 -j 2 --time-scale 100 --quiet > "$out/pass.log" 2>&1 || rc=$?
cat "$out/pass.log"
expect_status "the passing modem campaign" "$rc" 0
expect_line "$out/pass.log" "modem exchange                                     1       1       0"
expect_line "$out/pass.log" "modem image                                        1       1       0"
expect_line "$out/pass.log" "modem nv-write                                     1       1       0"
expect_line "$out/pass.log" "modem reset                                        1       1       0"
expect_line "$out/pass.log" "modem rfnv-write                                   1       1       0"
expect_line "$out/pass.log" "campaign passed: 5 of 5 points run, 0 failed"
# point, op, mode, phase, cut_op ... result ... ops. The images (6), the
# reset and the RF NV writes (6) come first in the full list; the number of
# NV writes, and so the index of an exchange and the ops column (image, reset,
# RF NV and NV writes together), grows when a loaded machine makes the tool
# send an NV write again.
expect_match() {   # FILE PATTERN: a line of the file matches the whole pattern
    if ! grep -qx -- "$2" "$1"; then
        echo "FAIL: $1 has no line matching: $2"
        failures=$((failures + 1))
    fi
}
expect_match "$out/pass/modem.csv" "0,1,image,modem image,image 1,0,,,,pass,,,,34[3-9]"
expect_match "$out/pass/modem.csv" "6,1,reset,modem reset,reset 1,0,,,,pass,,,,34[3-9]"
expect_match "$out/pass/modem.csv" "9,3,rfnv-write,modem rfnv-write,rfnv-write 3,0,,,,pass,,,,34[3-9]"
expect_match "$out/pass/modem.csv" "342,330,nv-write,modem nv-write,nv-write 330,0,,,,pass,,,,34[3-9]"
expect_match "$out/pass/modem.csv" "34[3-9],1,exchange,modem exchange,exchange 1,0,,,,pass,,,,34[3-9]"

# The modem answers ERROR to the identity indicator's write: the restore of
# the identity stops there and the test information and SIM lock are lost.
rc=0
# The failing uncut router is kept in the working folder: under OUT here.
MODEM_FAULTS='nak at-disk *' CAMPAIGNS=modem "$script" "$bin" "$out/broken" --modem-cut image:1 \
    --work "$out/broken-work" --time-scale 100 --quiet > "$out/broken.log" 2>&1 || rc=$?
cat "$out/broken.log"
expect_status "the campaign against a faulty modem" "$rc" 1
if ! grep -qF 'routersim campaign: the uncut upgrade fails the modem-nv check: identity simlock is "0", not "1,46000"' \
        "$out/broken.log"; then
    echo "FAIL: the broken modem step was not named"
    failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && rm -rf "$out"
echo "$((2 - (failures > 0))) passed, $((failures > 0)) failed"
[ "$failures" -eq 0 ]
