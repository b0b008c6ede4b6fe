#!/usr/bin/env bash
# Runs a libFuzzer target for a few seconds over a copy of its seed corpus.
set -eu
target="$1"; seeds="$2"; work="$3"; seconds="$4"
rm -rf "$work"; mkdir -p "$work"
if [ -d "$seeds" ]; then cp -r "$seeds"/. "$work"/; fi
exec "$target" -max_total_time="$seconds" -print_final_stats=1 "$work"
