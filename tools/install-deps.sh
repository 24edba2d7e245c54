#!/usr/bin/env bash
# Installs the Debian packages the build, the simulated router and the tests
# need. Does nothing when they are all present already.
set -euo pipefail

PACKAGES=(
    g++ clang cmake ninja-build make pkg-config
    libgtest-dev googletest libgmock-dev libbenchmark-dev
    linux-libc-dev
    bubblewrap faketime libfaketime
    bzip2 tar coreutils util-linux procps python3
)
# The CGI tests: a real web server, curl, a headless browser and node/npm for
# the browser driver (tools/install-npm-deps.sh). A node from elsewhere will do.
PACKAGES+=(lighttpd curl chromium)
command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs)
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
# libFuzzer and clang's sanitizer runtimes, for the fuzz targets (tests/fuzz);
# clang only recommends them.
PACKAGES+=(libclang-rt-14-dev)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exec "$(dirname "$0")/install-npm-deps.sh"
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root or install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
exec "$(dirname "$0")/install-npm-deps.sh"
