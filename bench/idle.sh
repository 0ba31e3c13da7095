#!/usr/bin/env bash
# One command: builds and runs the idle benchmark on a private Xvfb display (the service's resident
# memory with its breakdown, CPU ticks and wake-ups over 30 s of idling, next to an idle xmessage).
# Idle span: QORV_BENCH_IDLE_SECONDS (30); mappings listed: QORV_BENCH_MAPPINGS (25).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d build ] || ./setup
cmake --build build --target qorv_bench_idle qorv-utility-service -j2 >/dev/null
export QORV_SERVICE_BIN="$PWD/build/app/qorv-utility-service"
exec build/bench/qorv_bench_idle
