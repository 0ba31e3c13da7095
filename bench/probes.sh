#!/usr/bin/env bash
# Process snapshot cost with 500 extra idle processes, next to `ps -eo pid,comm,rss,time` in the
# same run; target: our snapshot takes no longer than the ps command.
# Usage: bench/probes.sh [BUILD_DIR] [EXTRA_PROCESSES] [RUNS]   (defaults: build, 500, 40)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target qorv_bench_probes -j2 >/dev/null
exec "$BUILD/bench/qorv_bench_probes" "${2:-500}" "${3:-40}"
