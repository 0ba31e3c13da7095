#!/usr/bin/env bash
# One command: builds and runs the network benchmark. 100 clients each send "get_interface" with
# 10 addresses (half answering 200, a quarter 500, a quarter never answering) at once, with
# probeTimeoutSeconds 2; the peer is the slowest of those commands sent alone, in the same run.
# Sizes: QORV_BENCH_CLIENTS (100).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d build ] || ./setup
cmake --build build --target qorv_bench_network qorv-utility-service -j2 >/dev/null
export QT_QPA_PLATFORM=offscreen
export QORV_SERVICE_BIN="$PWD/build/app/qorv-utility-service"
coproc SERVER { exec python3 bench/probe_server.py; }
trap 'kill "$SERVER_PID" 2>/dev/null || true' EXIT
read -r PORT <&"${SERVER[0]}"
build/bench/qorv_bench_network "$PORT"
