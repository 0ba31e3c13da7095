#!/usr/bin/env bash
# One command: builds and runs the WebSocket benchmark. WebSocket->hub->WebSocket and
# ZeroMQ->hub->WebSocket transfers (ping-pong and pipelined) through the running service, and 50
# clients relaying in a ring, next to a plain QWebSocketServer echo measured in the same run.
# Usage: bench/ws_bench.sh [BUILD_FOLDER]   (default: build)
# Sizes: QORV_BENCH_PINGPONG (20000), QORV_BENCH_PIPELINED (100000), QORV_BENCH_CLIENTS (50),
# QORV_BENCH_EACH (2000).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -d "$build" ] || ./setup
cmake --build "$build" --target qorv_bench_ws qorv-utility-service -j2 >/dev/null
export QT_QPA_PLATFORM=offscreen
export QORV_SERVICE_BIN="$PWD/$build/app/qorv-utility-service"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
exec "$build/bench/qorv_bench_ws"
