#!/usr/bin/env bash
# The main job: build driverdeploy.dll, build a sample driver package, install
# it under Wine with a verbose log and show what was deployed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target driverdeploy dd_netcfg_double
DD_BUILD_DIR="$PWD/build/windows" DD_WINE_RUN="$PWD/build/windows/wine-run" python3 scripts/demo.py
