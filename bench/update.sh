#!/usr/bin/env bash
# One "update" through the running service against the same three steps done by standard tools,
# measured in the same run, rounds alternating so a change in machine load hits both alike:
#   service: `qorvctl send update` (download with MD5 check, extraction, replace with backup),
#            timed from the start of qorvctl to its exit, the service already running;
#   peer:    curl -o + md5sum + unzip -o -q + rsync -a -I --backup --backup-dir=B.
# The package: 2,000 files, 200 MiB in all (random bytes, stored), served over http://127.0.0.1
# by serve_files.py; the installation is the same 2,000 files with older bytes, put back before
# every run of either side. Target: service/peer <= 1.1. Also prints the service's peak resident
# memory above its idle size (VmHWM - idle VmRSS) over all rounds.
# Usage: bench/update.sh [BUILD_FOLDER]   (default: build; env QORV_BENCH_ROUNDS, default 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
rounds=${QORV_BENCH_ROUNDS:-3}

cmake --build "$build" --target qorvctl qorv-utility-service -j2 >/dev/null
ctl="$build/tools/qorvctl/qorvctl"
work=$(mktemp -d /tmp/qorv-bench-update.XXXXXX)
server=
service=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  [ -n "$service" ] && kill "$service" 2>/dev/null && wait "$service" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
now() { date +%s.%N; }

# Package and the installed version it replaces.
python3 - "$work/pkg" "$work/old" <<'PY'
import os, random, sys
rng = random.Random(2000)
for i in range(2000):
    rel = os.path.join(f"d{i % 20:02d}", f"e{(i // 20) % 10}", f"file{i:04d}.bin")
    for root, seed in ((sys.argv[1], 0), (sys.argv[2], 1)):
        os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(random.Random(i * 2 + seed).randbytes(200 * 1024 * 1024 // 2000))
PY
mkdir -p "$work/www"
(cd "$work/pkg" && zip -q -r -0 "$work/www/package.zip" .)
md5=$(md5sum "$work/www/package.zip" | cut -d' ' -f1)
python3 "$here/serve_files.py" "$work/www" >"$work/port" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/package.zip"

# The service in a folder of its own, on free ports.
ports=$(python3 -c "import socket
s=[socket.socket() for _ in range(2)]
[x.bind(('127.0.0.1',0)) for x in s]
print(*[x.getsockname()[1] for x in s])")
read -r zport wport <<<"$ports"
mkdir -p "$work/svc/bin" "$work/svc/tmp" "$work/svc/run"
chmod 700 "$work/svc/run"
cp "$build/app/qorv-utility-service" "$work/svc/bin/"
printf '[message_service]\nport=%s\nwsport=%s\n[log]\nlevel=1\n' "$zport" "$wport" >"$work/svc/bin/config.ini"
HOME="$work/svc" TMPDIR="$work/svc/tmp" XDG_RUNTIME_DIR="$work/svc/run" QT_QPA_PLATFORM=offscreen \
  "$work/svc/bin/qorv-utility-service" >/dev/null 2>&1 &
service=$!
for _ in $(seq 100); do "$ctl" --port "$wport" --timeout 2 ability update >/dev/null 2>&1 && break; sleep 0.2; done
idle_kb=$(awk '/VmRSS/ {print $2}' "/proc/$service/status")

# "seconds" of one update by one side, from the same installed state.
run_side() {
  local side=$1 start end
  rm -rf "$work/inst" "$work/peer"
  cp -a "$work/old" "$work/inst"
  sync
  start=$(now)
  case $side in
    service)
      "$ctl" --port "$wport" --timeout 600 send update \
        "{\"appid\":\"bench\",\"url\":\"$url\",\"md5\":\"$md5\",\"processName\":\"qorv-bench-none\",\"installPath\":\"$work/inst\"}" \
        >/dev/null 2>&1
      ;;
    peer)
      mkdir -p "$work/peer"
      curl -s -o "$work/peer/package.zip" "$url"
      echo "$md5  $work/peer/package.zip" | md5sum -c --quiet -
      unzip -o -q "$work/peer/package.zip" -d "$work/peer/unzip"
      rsync -a -I --backup --backup-dir="$work/peer/bak" "$work/peer/unzip/" "$work/inst/"
      ;;
  esac
  end=$(now)
  diff -r -q "$work/pkg" "$work/inst" >/dev/null || { echo "update.sh: $side left a wrong installation" >&2; exit 1; }
  python3 -c "print(f'{$end - $start:.3f}')"
}

run_side service >/dev/null
run_side peer >/dev/null
echo "== update of 2,000 files, 200 MiB: service against curl+md5sum+unzip+rsync; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %10s %10s %14s\n' round "service s" "peer s" "service/peer"
: >"$work/rounds"
for r in $(seq "$rounds"); do
  if [ $((r % 2)) = 1 ]; then s=$(run_side service); p=$(run_side peer); else p=$(run_side peer); s=$(run_side service); fi
  echo "$s $p" >>"$work/rounds"
  python3 -c "import sys; s, p = map(float, sys.argv[2:]); print(f'{sys.argv[1]:<6} {s:10.3f} {p:10.3f} {s / p:14.2f}')" "$r" "$s" "$p"
done
python3 - "$work/rounds" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1])]
s, p = (statistics.median(r[i] for r in rows) for i in range(2))
print(f"median: service {s:.3f} s, peer {p:.3f} s; ratio service/peer {s / p:.2f}  (target <= 1.10)")
PY
peak_kb=$(awk '/VmHWM/ {print $2}' "/proc/$service/status")
echo "service memory: idle $((idle_kb / 1024)) MiB, peak $((peak_kb / 1024)) MiB, peak above idle $(((peak_kb - idle_kb) / 1024)) MiB"
