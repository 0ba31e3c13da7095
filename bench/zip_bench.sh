#!/usr/bin/env bash
# Zip extraction: both ZlibHelper engines next to Info-ZIP `unzip -o -q`, measured in the same run.
#   - 20,000 small files (1 to 8 KiB, nested folders); target: at most 1.2 x unzip
#   - four 128 MiB files; target: no slower than unzip
#   - peak resident memory of each extraction (/usr/bin/time) against the idle driver; target: < 64 MiB more
# Usage: bench/zip_bench.sh [BUILD_DIR]   (default: build; the driver target is built there)
# Needs: zip, unzip, /usr/bin/time, python3. Archives go to $ZIP_BENCH_DIR (default: a temp
# folder); extractions go to $ZIP_BENCH_OUT (default: /dev/shm when it exists). On ext4, creating
# 20,000 files right after deleting the previous run's 20,000 makes the inode allocator skip the
# recently freed ones, which swamps the extractors' own cost; set ZIP_BENCH_OUT to measure a disk anyway.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
RUNS="${RUNS:-7}"

cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target qorv_bench_unzip -j2 >/dev/null
DRIVER="$BUILD/bench/qorv_bench_unzip"

WORK="${ZIP_BENCH_DIR:-$(mktemp -d /tmp/zip_bench.XXXXXX)}"
mkdir -p "$WORK"
OUT_ROOT="${ZIP_BENCH_OUT:-}"
if [ -z "$OUT_ROOT" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then OUT_ROOT="$(mktemp -d /dev/shm/zip_bench_out.XXXXXX)"; else OUT_ROOT="$WORK"; fi
fi
OUT="$OUT_ROOT/out"
trap '[ -n "${ZIP_BENCH_DIR:-}" ] || rm -rf "$WORK"; rm -rf "$OUT"; [ -n "${ZIP_BENCH_OUT:-}" ] || [ "$OUT_ROOT" = "$WORK" ] || rmdir "$OUT_ROOT"' EXIT
cd "$WORK"

# Half random, half text: deflate has something to do and something it cannot shrink.
if [ ! -f small.zip ] || [ ! -f big.zip ]; then
  echo "generating data in $WORK ..."
  python3 - <<'PY'
import os, random
random.seed(7)
words = b"install update package folder backup replace service client progress archive ".split()
def chunk(n):
    half = n // 2
    text = b" ".join(random.choice(words) for _ in range(half // 6 + 1))[:n - half]
    return os.urandom(half) + text
for i in range(20000):
    d = "small/d%02d/s%02d" % (i % 20, (i // 20) % 10)
    os.makedirs(d, exist_ok=True)
    with open("%s/f%05d.dat" % (d, i), "wb") as f:
        f.write(chunk(random.randint(1024, 8192)))
os.makedirs("big/inner", exist_ok=True)
block = [chunk(1 << 20) for _ in range(16)]
for i in range(4):
    with open("big/%sfile%d.bin" % ("inner/" if i % 2 else "", i), "wb") as f:
        for j in range(128):
            f.write(block[(i * 5 + j) % 16])
PY
  (cd small && zip -q -r ../small.zip .)
  (cd big && zip -q -r ../big.zip .)
  rm -rf small big
fi

# One run: wall seconds, CPU seconds (user + system) and peak resident KiB, from /usr/bin/time.
run_once() { # label command... -> appends "label wall cpu rss" to runs.txt
  local label="$1"; shift
  rm -rf "$OUT"
  /usr/bin/time -f "$label %e %U %S %M" -a -o runs.txt "$@" >/dev/null 2>&1
}

# Rounds interleave the three extractors, each round in a rotated order, so that load from elsewhere
# falls on all of them alike.
rm -f runs.txt
for case in small big; do
  cmds=("unzip:unzip -o -q $WORK/$case.zip -d $OUT" "engine1:$DRIVER 1 $WORK/$case.zip $OUT"
        "engine2:$DRIVER 2 $WORK/$case.zip $OUT")
  for ((r = 0; r <= RUNS; r++)); do
    for ((i = 0; i < 3; i++)); do
      entry="${cmds[$(((i + r) % 3))]}"
      label="${entry%%:*}"
      [ "$r" -eq 0 ] && label="warmup"
      # shellcheck disable=SC2086
      run_once "$case-$label" ${entry#*:}
    done
  done
done
for ((r = 0; r < 3; r++)); do run_once idle "$DRIVER" idle; done
rm -rf "$OUT"
echo "archives in $WORK, extracted into $OUT_ROOT, $RUNS interleaved rounds"

python3 - <<'PY'
import statistics, sys
runs = {}
for line in open("runs.txt"):
    label, wall, user, system, rss = line.split()
    runs.setdefault(label, []).append((float(wall), float(user) + float(system), int(rss)))
idle = max(r[2] for r in runs["idle"])
limits = {"small": 1.2, "big": 1.0}
titles = {"small": "20,000 files of 1-8 KiB", "big": "4 files of 128 MiB"}
ok = True
for case in ("small", "big"):
    base = statistics.median(r[0] for r in runs[case + "-unzip"])
    base_cpu = statistics.median(r[1] for r in runs[case + "-unzip"])
    print("%s (medians of %d runs)" % (titles[case], len(runs[case + "-unzip"])))
    print("  %-8s %8s %7s %8s %8s %7s  %s" % ("", "wall", "ratio", "target", "cpu", "ratio", "peak RSS (above idle)"))
    for name in ("unzip", "engine1", "engine2"):
        rows = runs["%s-%s" % (case, name)]
        wall = statistics.median(r[0] for r in rows)
        cpu = statistics.median(r[1] for r in rows)
        peak = max(r[2] for r in rows)
        if name == "unzip":
            print("  %-8s %7.3fs %6.2fx %8s %7.3fs %6.2fx  %6.1f MiB" % (name, wall, 1.0, "", cpu, 1.0, peak / 1024.0))
            continue
        good = wall / base <= limits[case] and (peak - idle) / 1024.0 < 64
        ok = ok and good
        print("  %-8s %7.3fs %6.2fx %8s %7.3fs %6.2fx  %6.1f MiB (%+.1f MiB) %s" % (
            name, wall, wall / base, "<= %.1f" % limits[case], cpu, cpu / base_cpu, peak / 1024.0,
            (peak - idle) / 1024.0, "ok" if good else "MISSED"))
print("idle driver: %.1f MiB resident; targets: wall ratio as shown, peak < 64 MiB above idle" % (idle / 1024.0))
sys.exit(0 if ok else 1)
PY
