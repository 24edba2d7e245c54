#!/usr/bin/env bash
# Installs the Debian packages the build, the simulated router and the tests
# need. Does nothing when they are all present already.
#
# Usage: tools/install-deps.sh            everything: tests, CGI browser tests,
#                                         benchmarks, ARM build, kernel tier
#        tools/install-deps.sh --demo     only what tools/demo.sh needs: the
#                                         native compiler and libraries, the
#                                         simulated router's helpers
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
# shellcheck source=apt-lib.sh
. "$here/apt-lib.sh"
. "$here/step-lib.sh"
name_failed_steps

mode=all
case ${1:-} in
"") ;;
--demo) mode=demo ;;
-h | --help)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 0 ;;
*)
    echo "install-deps.sh: unknown argument '$1' (--demo or nothing)" >&2
    exit 2 ;;
esac

# The demo: build the programs and host tools, run the simulated router.
PACKAGES=(
    g++ cmake ninja-build make pkg-config
    linux-libc-dev
    # package signatures
    libsodium-dev
    # routersim's JSON (bus records, campaign results, report input)
    nlohmann-json3-dev
    # the simulated router: its sandbox, its clock, its archiver
    bubblewrap faketime libfaketime
    bzip2 tar coreutils util-linux procps
)
if [ "$mode" = all ]; then
    PACKAGES+=(
        clang python3
        libgtest-dev googletest libgmock-dev libbenchmark-dev
        # the minisign tool, the reference the signature tests check against
        minisign
        # benchmarks only (bench/): zlib is the CRC-32 reference, perf the profiler
        zlib1g-dev linux-perf valgrind
        # The CGI tests: a real web server, curl, a headless browser
        lighttpd curl chromium
        # libFuzzer and clang's sanitizer runtimes, for the fuzz targets
        # (tests/fuzz); clang only recommends them.
        libclang-rt-14-dev
    )
    # node/npm for the browser drivers (tools/install-npm-deps.sh). A node from
    # elsewhere will do.
    command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs)
    command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
    # The ARM cross build and the QEMU kernel tier have their own list and
    # downloads (cross compiler, qemu, busybox, mtd-utils, Debian kernels).
    "$here/kernel/install-deps.sh"
fi

mapfile -t missing < <(missing_packages "${PACKAGES[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root or install them)" >&2
        exit 1
    fi
    apt_update
    apt_install "${missing[@]}"
fi
[ "$mode" = all ] || exit 0
# The browser drivers of the CGI test and of the report check (pinned npm
# packages; they never download a browser of their own).
exec "$here/install-npm-deps.sh"
