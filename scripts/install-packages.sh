#!/usr/bin/env bash
# Installs whatever the project's package list (packages.txt) names and this
# machine lacks. Runs apt-get update once, and only when something is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t wanted < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' packages.txt | grep -v '^$')
missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
# Node.js runs an outside OSC peer in the tests; a machine may have it from
# elsewhere than Debian's packages, and then it is used as it is.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
