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
    # package signatures: the crypto library, and the minisign tool as the
    # reference the signature tests check against
    libsodium-dev minisign
    # benchmarks only (bench/): zlib is the CRC-32 reference, perf the profiler
    zlib1g-dev linux-perf valgrind
)
# The CGI tests: a real web server, curl, a headless browser and node/npm for
# the browser driver (tools/install-npm-deps.sh). A node from elsewhere will do.
PACKAGES+=(lighttpd curl chromium)
command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs)
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
# libFuzzer and clang's sanitizer runtimes, for the fuzz targets (tests/fuzz);
# clang only recommends them.
PACKAGES+=(libclang-rt-14-dev)

# --- Browser check of `routersim report` pages (tests/browser-report) ---
# Debian's chromium, driven by playwright-core from npm (pinned in that
# folder's package-lock.json; it never downloads a browser of its own).
report_browser_deps() {
    local top want=()
    top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    [ -x /usr/bin/chromium ] || want+=(chromium)
    command -v node >/dev/null || want+=(nodejs)
    command -v npm >/dev/null || want+=(npm)
    if [ ${#want[@]} -gt 0 ]; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "report browser check: missing ${want[*]} (its test is skipped)" >&2
            return 0
        fi
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${want[@]}"
    fi
    local dir=$top/tests/browser-report pinned
    pinned=$(sed -n 's/.*"playwright-core": "\(.*\)".*/\1/p' "$dir/package.json")
    if ! grep -qs "\"version\": \"$pinned\"" "$dir/node_modules/playwright-core/package.json"; then
        (cd "$dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
    fi
}

# The ARM cross build and the QEMU kernel tier have their own list and
# downloads (cross compiler, qemu, busybox, mtd-utils, Debian kernels).
"$(dirname "$0")/kernel/install-deps.sh"

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root or install them)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
report_browser_deps
exec "$(dirname "$0")/install-npm-deps.sh"
