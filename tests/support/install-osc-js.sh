#!/usr/bin/env bash
# Installs the osc.js package, an OSC implementation the tests use as an
# outside peer, into a folder of its own (once per build folder).
# Usage: install-osc-js.sh DIR
set -euo pipefail
dir=$1
[ -f "$dir/node_modules/osc/package.json" ] && exit 0
if ! command -v npm >/dev/null; then
  echo "npm is missing: the osc.js peer tests will be skipped" >&2
  exit 0
fi
mkdir -p "$dir"
timeout 300 npm install --prefix "$dir" osc@2.4.5 --omit=optional --no-audit --no-fund \
  --loglevel=error >&2
