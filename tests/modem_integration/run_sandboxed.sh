#!/bin/sh
# Runs a test program the way the router would see the modem: in a private
# /dev (the library tells the modem's mode by looking for /dev/ttyUSB2, so the
# virtual modem's links must live there) with a private /tmp, and twenty times
# faster than real time (the library waits 700 ms per open and 10.5 s per
# silent read; libfaketime shortens select, poll and the sleeps of the test
# and of the modemsim it starts alike).
#
#   run_sandboxed.sh [--2ndfile] PROGRAM [ARG]...
#
# --2ndfile adds a private, empty /2ndfile: the NV backup keeps its high-NV
# file at the router's path /2ndfile/high_nv. The root is a fresh tmpfs
# holding the host's top-level folders, so /2ndfile is made there and never
# on the host.
#
# A checkout under /tmp (a fresh clone, say) would vanish under the private
# /tmp together with the test program and modemsim: its top folder is bound
# back into the private /tmp.
#
# In a sanitized build the test program and modemsim carry the ASan runtime
# as a library of their own, loaded after the preloaded libfaketime: the
# runtime is told not to insist on coming first. (Preloading the runtime
# instead would put it into every shell the tests start, whose leak check at
# exit hangs under libfaketime.)
set -e
second_file=
if [ "$1" = "--2ndfile" ]; then
    second_file=1
    shift
fi
FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -e "$FAKETIME_LIB" ] || FAKETIME_LIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n1)
binds=""
for top in /*; do
    case "$top" in
    /dev|/tmp|/2ndfile|/lost+found|/proc) continue ;;
    esac
    if [ -L "$top" ]; then
        binds="$binds --symlink $(readlink "$top") $top"
    elif [ -d "$top" ]; then
        binds="$binds --dev-bind $top $top"
    fi
done
binds="$binds --dev /dev --proc /proc --tmpfs /tmp"
for path in "$(realpath "$1" 2>/dev/null || echo "$1")" "$(pwd -P)"; do
    case "$path" in
    /tmp/*)
        rest=${path#/tmp/}
        binds="$binds --bind /tmp/${rest%%/*} /tmp/${rest%%/*}"
        ;;
    esac
done
[ -n "$second_file" ] && binds="$binds --dir /2ndfile"
# shellcheck disable=SC2086
exec bwrap $binds --die-with-parent \
    --setenv MODEM_IT_SANDBOX 1 \
    --setenv LD_PRELOAD "$FAKETIME_LIB" \
    --setenv FAKETIME "+0 x${MODEM_IT_SPEED:-20}" \
    --setenv ASAN_OPTIONS "verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    -- "$@"
