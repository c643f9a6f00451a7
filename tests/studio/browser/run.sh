#!/bin/sh
# Runs the studio's browser tests: VELKIN_BIN names the build's bin folder. Skips (status 77) when
# node or Chromium is missing; installs the pinned packages with npm ci when they are not there yet.
here=$(cd "$(dirname "$0")" && pwd)
chromium=${CHROMIUM:-/usr/bin/chromium}
if ! command -v node >/dev/null 2>&1; then
  echo "SKIP: node is not installed (scripts/setup installs it)"; exit 77
fi
if [ ! -x "$chromium" ]; then
  echo "SKIP: $chromium is not installed (scripts/setup installs chromium)"; exit 77
fi
if [ ! -d "$here/node_modules/puppeteer-core" ]; then
  (cd "$here" && npm ci --no-audit --no-fund) || { echo "npm ci failed"; exit 1; }
fi
# Every suite, or those named.
if [ $# -eq 0 ]; then set -- studio.test.mjs sets.test.mjs; fi
cd "$here" && exec node --test --test-concurrency=1 "$@"
