#!/usr/bin/env bash
# Builds what the benchmarks need (the native CustomActionData benchmark, the
# DLL and the platform floor program) and runs them: one table of figures,
# each a ratio of measurements taken in the same run, the median of several
# rounds.
#
#   scripts/bench.sh [--rounds N] [--only parallel overhead customactiondata ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build build/native --target dd_bench
cmake --preset windows >/dev/null
# The DLL and every program of the benchmarks (targets named dd_bench_*).
programs=$(cmake --build build/windows --target help | sed -n 's/^\(dd_bench_[A-Za-z0-9_]*\): .*/\1/p')
cmake --build build/windows --target driverdeploy $programs
build="$PWD/build/windows"
DD_BUILD_DIR="$build" DD_DLL="$build/driverdeploy.dll" DD_WINE_RUN="$build/wine-run" DD_SOURCE_DIR="$PWD" \
    python3 tests/bench/run.py "$@"
