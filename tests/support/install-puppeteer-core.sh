#!/usr/bin/env bash
# Installs puppeteer-core, which drives the system's chromium for the web
# remote's browser tests, into a folder of its own (once per build folder).
# It brings no browser of its own: the tests use /usr/bin/chromium.
# Usage: install-puppeteer-core.sh DIR
# On a developer's machine without npm the browser tests are skipped; under
# CI=true every outside peer must be there, so a missing npm or a failed
# install fails this step.
set -euo pipefail
dir=$1
[ -f "$dir/node_modules/puppeteer-core/package.json" ] && exit 0
if ! command -v npm >/dev/null; then
  if [ "${CI:-}" = true ]; then
    echo "npm is missing: the web remote's browser tests cannot run (CI=true)" >&2
    exit 1
  fi
  echo "npm is missing: the web remote's browser tests will be skipped" >&2
  exit 0
fi
mkdir -p "$dir"
PUPPETEER_SKIP_DOWNLOAD=1 timeout 300 npm install --prefix "$dir" puppeteer-core@24.43.1 \
  --omit=optional --no-audit --no-fund --loglevel=error >&2
if [ ! -f "$dir/node_modules/puppeteer-core/package.json" ]; then
  echo "npm finished but puppeteer-core is not in $dir/node_modules" >&2
  exit 1
fi
