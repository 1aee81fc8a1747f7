#!/usr/bin/env bash
# Installs the osc.js package, an OSC implementation the tests use as an
# outside peer, into a folder of its own (once per build folder).
# Usage: install-osc-js.sh DIR
# On a developer's machine without npm the osc.js tests are skipped; under
# CI=true every outside peer must be there, so a missing npm or a failed
# install fails this step.
set -euo pipefail
dir=$1
[ -f "$dir/node_modules/osc/package.json" ] && exit 0
if ! command -v npm >/dev/null; then
  if [ "${CI:-}" = true ]; then
    echo "npm is missing: the osc.js peer tests cannot run (CI=true)" >&2
    exit 1
  fi
  echo "npm is missing: the osc.js peer tests will be skipped" >&2
  exit 0
fi
mkdir -p "$dir"
timeout 300 npm install --prefix "$dir" osc@2.4.5 --omit=optional --no-audit --no-fund \
  --loglevel=error >&2
if [ ! -f "$dir/node_modules/osc/package.json" ]; then
  echo "npm finished but osc.js is not in $dir/node_modules" >&2
  exit 1
fi
