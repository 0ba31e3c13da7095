#!/usr/bin/env bash
# One command: builds and runs the notices benchmark on a private Xvfb display (command to
# window mapped for toast and tips against xmessage; service memory over 10,000 tips).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d build ] || ./setup
cmake --build build --target qorv_bench_notices qorv-utility-service -j2 >/dev/null
export QORV_SERVICE_BIN="$PWD/build/app/qorv-utility-service"
exec build/bench/qorv_bench_notices
