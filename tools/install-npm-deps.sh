#!/usr/bin/env bash
# Installs the npm packages of the browser test (tests/browser: playwright-core,
# which drives the Debian chromium; no browser is downloaded) exactly as its
# lock file gives them. Does nothing when they are installed already.
set -euo pipefail
dir=$(cd "$(dirname "$0")/../tests/browser" && pwd)
if [ -f "$dir/node_modules/.package-lock.json" ] &&
   [ "$dir/node_modules/.package-lock.json" -nt "$dir/package-lock.json" ]; then
    exit 0
fi
cd "$dir"
npm ci --no-audit --no-fund
