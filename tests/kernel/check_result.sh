#!/usr/bin/env bash
# Passes when the console log of a kernel-tier boot shows SCENARIO passed;
# otherwise prints what the machine said about it.
#
#   check_result.sh CONSOLE_LOG SCENARIO [EXPECTED_FAILURE_REASON]
#
# With a reason the scenario is a known failure (CTest's WILL_FAIL): the
# reason is printed first, so that the test's output says why.
set -uo pipefail
log=${1:?}
name=${2:?}
if [ -n "${3:-}" ]; then
    echo "EXPECTED TO FAIL: $3"
fi
if [ ! -f "$log" ]; then
    echo "no console log $log (the boot test did not run)"
    exit 1
fi
if grep -aq "^KT-RESULT $name PASS" "$log"; then
    grep -a "^KT-TIME $name " "$log"
    exit 0
fi
# The scenario's part of the log, from its begin marker to its time marker.
sed -n "/^KT-BEGIN $name\r*\$/,/^KT-TIME $name /p" "$log" | tr -d '\r'
grep -aq "^KT-BEGIN $name" "$log" || echo "scenario $name did not run"
exit 1
