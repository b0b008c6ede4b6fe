#!/usr/bin/env bash
# Runs every test: native (sanitizers), fuzz smoke runs, Windows under Wine
# and end-to-end msiexec packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
status=0
for preset in native fuzz windows; do
    echo "=== $preset"
    cmake --workflow --preset "$preset" || status=1
done
exit $status
