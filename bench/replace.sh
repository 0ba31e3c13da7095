#!/usr/bin/env bash
# Replace with backup and the install ability's download task, each next to its peer measured
# in the same run, rounds alternating so a change in machine load hits both alike.
#  1. A 20,000-file tree (1 to 8 KiB, nested folders) replaced over a copy of itself with a
#     backup folder: the "replace" command through the service, and ReplaceHelper alone,
#     against `rsync -a -I --backup --backup-dir=B SRC/ DEST/` (target <= 0.8 x rsync).
#  2. The same with four 128 MiB files.
#  3. A 512 MiB download with MD5 check: the "download" command through the service against
#     the Downloader alone (target <= 1.1 x).
# Before every side's run the backup folder is removed and the destination is a copy of the source,
# for both sides. Times of the service are from the command to its result, the service
# already running; rsync's include its process start.
# Usage: bench/replace.sh [BUILD_FOLDER]   (default: build; env QORV_BENCH_ROUNDS, default 5;
#   env QORV_BENCH_ONLY=small measures only the 20,000-file row, for quick turns while tuning)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
rounds=${QORV_BENCH_ROUNDS:-5}
only=${QORV_BENCH_ONLY:-}

cmake --build "$build" --target qorv_bench_install qorv-utility-service -j2 >/dev/null
driver="$build/bench/qorv_bench_install"
export QORV_SERVICE_BIN="$build/app/qorv-utility-service"
work=$(mktemp -d /tmp/qorv-bench-replace.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }

python3 - "$work/small/src" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20000)
for i in range(20000):
    folder = os.path.join(root, f"d{i % 20:02d}", f"e{(i // 20) % 10}", f"f{(i // 200) % 5}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"file{i:05d}.bin"), "wb") as f:
        f.write(rng.randbytes(rng.randint(1024, 8192)))
PY
mkdir -p "$work/big/src"
[ "$only" = small ] || for i in 1 2 3 4; do head -c $((128 * 1024 * 1024)) /dev/urandom >"$work/big/src/part$i.bin"; done

# "seconds" of one replace by one of the three sides, from the same starting state.
run_side() {
  local side=$1 tree=$2 start end
  rm -rf "$tree/bak"
  [ -d "$tree/dest" ] || cp -a "$tree/src" "$tree/dest"
  sync -f "$tree/src" 2>/dev/null || true
  case $side in
    service) "$driver" service-replace "$tree/src" "$tree/dest" "$tree/bak" ;;
    worker) "$driver" worker-replace "$tree/src" "$tree/dest" "$tree/bak" ;;
    rsync)
      start=$(now)
      rsync -a -I --backup --backup-dir="$tree/bak" "$tree/src/" "$tree/dest/"
      end=$(now)
      python3 -c "print(f'{$end - $start:.3f}')"
      ;;
  esac
}

check_tree() {
  local tree=$1
  diff -r "$tree/src" "$tree/dest" >/dev/null || { echo "replace.sh: $tree/dest differs from src" >&2; exit 1; }
  [ "$(find "$tree/bak" -type f | wc -l)" = "$(find "$tree/src" -type f | wc -l)" ] ||
    { echo "replace.sh: $tree/bak does not hold every replaced file" >&2; exit 1; }
}

bench_tree() {
  local label=$1 tree=$2
  # Warm-up of every side, and each must leave the right files.
  for side in service worker rsync; do run_side "$side" "$tree" >/dev/null; check_tree "$tree"; done
  echo "== $label; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '%-6s %10s %10s %10s %14s %14s\n' round "service s" "worker s" "rsync s" "service/rsync" "worker/rsync"
  : >"$work/rounds"
  for r in $(seq "$rounds"); do
    # The order turns each round, so no side always runs right after another's writes.
    if [ $((r % 2)) = 1 ]; then
      s=$(run_side service "$tree"); w=$(run_side worker "$tree"); y=$(run_side rsync "$tree")
    else
      y=$(run_side rsync "$tree"); w=$(run_side worker "$tree"); s=$(run_side service "$tree")
    fi
    echo "$s $w $y" >>"$work/rounds"
    python3 -c "import sys; s, w, y = map(float, sys.argv[2:]); print(f'{sys.argv[1]:<6} {s:10.3f} {w:10.3f} {y:10.3f} {s / y:14.2f} {w / y:14.2f}')" \
      "$r" "$s" "$w" "$y"
  done
  python3 - "$work/rounds" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1])]
s, w, y = (statistics.median(r[i] for r in rows) for i in range(3))
print(f"median: service {s:.3f} s, worker {w:.3f} s, rsync {y:.3f} s; "
      f"ratio service/rsync {s / y:.2f}, worker/rsync {w / y:.2f}  (target <= 0.80 for the small files)")
PY
}

bench_tree "replace with backup, 20,000 files of 1-8 KiB over a copy of themselves" "$work/small"
[ "$only" = small ] && exit 0
bench_tree "replace with backup, 4 x 128 MiB over a copy of themselves" "$work/big"

# Download through the service against the Downloader alone.
mkdir -p "$work/www" "$work/dl"
head -c $((512 * 1024 * 1024)) /dev/urandom >"$work/www/package.bin"
md5=$(md5sum "$work/www/package.bin" | cut -d' ' -f1)
python3 "$here/serve_files.py" "$work/www" >"$work/port" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/package.bin"
"$driver" worker-download "$url" "$work/dl/w.bin" "$md5" >/dev/null
"$driver" service-download "$url" "$work/dl/s.bin" "$md5" >/dev/null
cmp -s "$work/www/package.bin" "$work/dl/s.bin" || { echo "replace.sh: downloaded bytes differ" >&2; exit 1; }
echo "== download with MD5 check, 512 MiB over http://127.0.0.1; load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %10s %10s %16s\n' round "service s" "worker s" "service/worker"
: >"$work/rounds"
for r in $(seq "$rounds"); do
  rm -f "$work/dl/"*
  sync
  if [ $((r % 2)) = 1 ]; then
    s=$("$driver" service-download "$url" "$work/dl/s.bin" "$md5"); sync
    w=$("$driver" worker-download "$url" "$work/dl/w.bin" "$md5")
  else
    w=$("$driver" worker-download "$url" "$work/dl/w.bin" "$md5"); sync
    s=$("$driver" service-download "$url" "$work/dl/s.bin" "$md5")
  fi
  echo "$s $w" >>"$work/rounds"
  python3 -c "import sys; s, w = map(float, sys.argv[2:]); print(f'{sys.argv[1]:<6} {s:10.3f} {w:10.3f} {s / w:16.2f}')" "$r" "$s" "$w"
done
python3 - "$work/rounds" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1])]
s, w = (statistics.median(r[i] for r in rows) for i in range(2))
print(f"median: service {s:.3f} s, worker {w:.3f} s; ratio service/worker {s / w:.2f}  (target <= 1.10)")
PY
