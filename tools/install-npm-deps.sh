#!/usr/bin/env bash
# Installs the npm packages of the two browser tests (tests/browser and
# tests/browser-report: playwright-core, which drives Debian's chromium; no
# browser is downloaded) exactly as their lock files give them, into this
# checkout. Does nothing for a folder whose pinned version is installed
# already. The CMake configure step runs it too when npm is there, so a build
# by hand in any checkout finds its driver.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/step-lib.sh"
name_failed_steps
if ! command -v npm >/dev/null 2>&1; then
    echo "install-npm-deps.sh: npm is missing (tools/install-deps.sh installs it)" >&2
    exit 1
fi
for dir in "$top/tests/browser" "$top/tests/browser-report"; do
    pinned=$(sed -n 's/.*"playwright-core": "\(.*\)".*/\1/p' "$dir/package.json")
    if grep -qs "\"version\": \"$pinned\"" "$dir/node_modules/playwright-core/package.json"; then
        continue
    fi
    echo "== npm ci in ${dir#"$top"/} (playwright-core $pinned)"
    if ! (cd "$dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error); then
        echo "install step failed: npm ci in ${dir#"$top"/}" >&2
        exit 1
    fi
done
