#!/usr/bin/env bash
# Zip extraction: both ZlibHelper engines next to Info-ZIP `unzip -o -q`, measured in the same run.
#   - 20,000 small files (1 to 8 KiB, nested folders); target: at most 1.2 x unzip
#   - four 128 MiB files; target: no slower than unzip
#   - peak resident memory of each extraction (/usr/bin/time -v) against the idle driver; target: < 64 MiB more
# Usage: bench/zip_bench.sh [BUILD_DIR]   (default: build; the driver target is built there)
# Needs: zip, unzip, hyperfine, /usr/bin/time, python3. Archives go to $ZIP_BENCH_DIR (default: a temp
# folder); extractions go to $ZIP_BENCH_OUT (default: /dev/shm when it exists). On ext4, creating
# 20,000 files right after deleting the previous run's 20,000 makes the inode allocator skip the
# recently freed ones, which swamps the extractors' own cost; set ZIP_BENCH_OUT to measure a disk anyway.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
RUNS="${RUNS:-5}"

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

measure() { # name archive -> hyperfine json
  local name="$1" archive="$2"
  hyperfine -N --style none --warmup 1 --runs "$RUNS" --export-json "$name.json" \
    --prepare "rm -rf $OUT" \
    -n unzip "unzip -o -q $WORK/$archive -d $OUT" \
    -n engine1 "$DRIVER 1 $WORK/$archive $OUT" \
    -n engine2 "$DRIVER 2 $WORK/$archive $OUT" >/dev/null
}
peak_kib() { # command... -> max RSS in KiB
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

# Correctness first: every engine must reproduce what unzip extracts.
for archive in small.zip big.zip; do
  rm -rf "$OUT" && mkdir -p "$OUT"
  unzip -o -q "$archive" -d "$OUT/ref"
  "$DRIVER" 1 "$archive" "$OUT/e1"
  "$DRIVER" 2 "$archive" "$OUT/e2"
  diff -r "$OUT/ref" "$OUT/e1" >/dev/null && diff -r "$OUT/ref" "$OUT/e2" >/dev/null ||
    { echo "FAIL: $archive extracts differently"; exit 1; }
  rm -rf "$OUT"
done

measure small small.zip
measure big big.zip

idle=$(peak_kib "$DRIVER" idle)
declare -A rss
for archive in small big; do
  rm -rf "$OUT"; rss[$archive-unzip]=$(peak_kib unzip -o -q "$archive.zip" -d "$OUT")
  rm -rf "$OUT"; rss[$archive-engine1]=$(peak_kib "$DRIVER" 1 "$archive.zip" "$OUT")
  rm -rf "$OUT"; rss[$archive-engine2]=$(peak_kib "$DRIVER" 2 "$archive.zip" "$OUT")
done
rm -rf "$OUT"
echo "archives in $WORK, extracted into $OUT_ROOT"

python3 - "$idle" "${rss[small-unzip]}" "${rss[small-engine1]}" "${rss[small-engine2]}" \
  "${rss[big-unzip]}" "${rss[big-engine1]}" "${rss[big-engine2]}" <<'PY'
import json, sys
idle, su, s1, s2, bu, b1, b2 = map(int, sys.argv[1:])
rss = {"small": {"unzip": su, "engine1": s1, "engine2": s2}, "big": {"unzip": bu, "engine1": b1, "engine2": b2}}
limits = {"small": 1.2, "big": 1.0}
titles = {"small": "20,000 files of 1-8 KiB", "big": "4 files of 128 MiB"}
ok = True
for case in ("small", "big"):
    res = {r["command"]: r for r in json.load(open(case + ".json"))["results"]}
    base = res["unzip"]["median"]
    print("%s (median of %d runs)" % (titles[case], len(res["unzip"]["times"])))
    print("  %-8s %8s %8s %8s  %s" % ("", "median", "ratio", "target", "peak RSS (above idle)"))
    for name in ("unzip", "engine1", "engine2"):
        t = res[name]["median"]
        ratio = t / base
        above = (rss[case][name] - idle) / 1024.0
        target = "" if name == "unzip" else "<= %.1f" % limits[case]
        verdict = ""
        if name != "unzip":
            good = ratio <= limits[case] and above < 64
            ok = ok and good
            verdict = "ok" if good else "MISSED"
        print("  %-8s %7.3fs %7.2fx %8s  %6.1f MiB (%+.1f MiB) %s" % (
            name, t, ratio, target, rss[case][name] / 1024.0, above, verdict))
print("idle driver: %.1f MiB resident" % (idle / 1024.0))
sys.exit(0 if ok else 1)
PY
