#!/usr/bin/env bash
# The main job: build driverdeploy.dll, build a sample driver package, install
# it under Wine with a verbose log and show what was deployed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target driverdeploy dd_netcfg_double
DD_BUILD_DIR="$PWD/build/windows" DD_WINE_RUN="$PWD/build/windows/wine-run" python3 scripts/demo.py

# The report of this install and uninstall, read back from their verbose logs by the kit.
logs=build/windows/demo-logs
cat "$logs/install.log" "$logs/uninstall.log" > "$logs/install-and-uninstall.log"
authoring/bin/driverdeploy log "$logs/install-and-uninstall.log" --html "$logs/report.html" > "$logs/report.txt"
echo
echo "== driverdeploy log: the report of this install and uninstall"
sed -n '3,/^$/p' "$logs/report.txt"
echo "report: $PWD/$logs/report.txt and $PWD/$logs/report.html"
