#!/usr/bin/env bash
# One command: full-screen capture through the service against scrot on the same Xvfb screen,
# then through the screenshot portal against grim on the same headless sway screen.
# Rounds: QORV_BENCH_ROUNDS (15).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d build ] || ./setup
cmake --build build --target qorv_bench_snap qorv-utility-service qorv_pattern_window -j2 >/dev/null
export QORV_SERVICE_BIN="$PWD/build/app/qorv-utility-service"
exec build/bench/qorv_bench_snap
