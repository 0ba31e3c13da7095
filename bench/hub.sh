#!/usr/bin/env bash
# One command: builds and runs the hub benchmark (ZeroMQ relay vs a raw ROUTER echo, same run).
# Service log level: QORV_BENCH_LOGLEVEL (1, the default). Sizes: QORV_BENCH_PINGPONG (20000), QORV_BENCH_PIPELINED (200000), QORV_BENCH_MEMORY (1000000).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d build ] || ./setup
cmake --build build --target qorv_bench_hub qorv-utility-service -j2 >/dev/null
export QT_QPA_PLATFORM=offscreen
export QORV_SERVICE_BIN="$PWD/build/app/qorv-utility-service"
exec build/bench/qorv_bench_hub
