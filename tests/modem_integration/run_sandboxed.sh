#!/bin/sh
# Runs a test program the way the router would see the modem: in a private
# /dev (the library tells the modem's mode by looking for /dev/ttyUSB2, so the
# virtual modem's links must live there) with a private /tmp, and twenty times
# faster than real time (the library waits 700 ms per open and 10.5 s per
# silent read; libfaketime shortens select, poll and the sleeps of the test
# and of the modemsim it starts alike).
#
# A checkout under /tmp (a fresh clone, say) would vanish under the private
# /tmp together with the test program and modemsim: its top folder is bound
# back into the private /tmp.
set -e
FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -e "$FAKETIME_LIB" ] || FAKETIME_LIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n1)
keep=
for path in "$(realpath "$1" 2>/dev/null || echo "$1")" "$(pwd -P)"; do
    case "$path" in
    /tmp/*)
        rest=${path#/tmp/}
        keep=/tmp/${rest%%/*}
        ;;
    esac
done
if [ -n "$keep" ]; then
    set -- --bind "$keep" "$keep" -- "$@"
else
    set -- -- "$@"
fi
exec bwrap --dev-bind / / --dev /dev --tmpfs /tmp --die-with-parent \
    --setenv MODEM_IT_SANDBOX 1 \
    --setenv LD_PRELOAD "$FAKETIME_LIB" \
    --setenv FAKETIME "+0 x${MODEM_IT_SPEED:-20}" \
    --setenv ASAN_OPTIONS "verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    "$@"
