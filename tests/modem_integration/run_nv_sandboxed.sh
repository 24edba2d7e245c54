#!/bin/sh
# As run_sandboxed.sh (private /dev and /tmp, 20x time scale), with a private,
# empty /2ndfile as well: the NV backup keeps its high-NV file at the router's
# path "/2ndfile/high_nv". The root is a fresh tmpfs holding the host's
# top-level folders, so /2ndfile is made there and never on the host.
set -e
FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -e "$FAKETIME_LIB" ] || FAKETIME_LIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n1)
binds=""
for top in /*; do
    case "$top" in
    /dev|/tmp|/2ndfile|/lost+found) continue ;;
    esac
    if [ -L "$top" ]; then
        binds="$binds --symlink $(readlink "$top") $top"
    elif [ -d "$top" ]; then
        binds="$binds --dev-bind $top $top"
    fi
done
# shellcheck disable=SC2086
exec bwrap $binds --dev /dev --tmpfs /tmp --dir /2ndfile --die-with-parent \
    --setenv MODEM_IT_SANDBOX 1 \
    --setenv LD_PRELOAD "$FAKETIME_LIB" \
    --setenv FAKETIME "+0 x${MODEM_IT_SPEED:-20}" \
    --setenv ASAN_OPTIONS "verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    -- "$@"
