#!/usr/bin/env bash
# ZIP64: one archive over 4 GiB holding a stored entry over 4 GiB (a sparse hole, so the archive
# costs no disk) and a small entry past the 4 GiB mark, extracted by both ZlibHelper engines next to
# Info-ZIP `unzip -o -q` in the same run. Prints wall time and peak resident memory of each;
# target: output identical to unzip's, peak memory flat (< 64 MiB above the idle driver).
# Usage: bench/zip64_bench.sh [BUILD_DIR]   Needs about 4.1 GiB free in $ZIP64_BENCH_DIR (default: a temp folder).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target qorv_bench_unzip -j2 >/dev/null
DRIVER="$BUILD/bench/qorv_bench_unzip"
WORK="${ZIP64_BENCH_DIR:-$(mktemp -d /tmp/zip64_bench.XXXXXX)}"
mkdir -p "$WORK"
trap '[ -n "${ZIP64_BENCH_DIR:-}" ] || rm -rf "$WORK"' EXIT
cd "$WORK"

python3 - <<'PY'
import struct, zlib
BIG = (4 << 30) + (1 << 20)
MARK = 0xFFFFFFFF
zero = bytes(1 << 20)
crc = 0
for _ in range(BIG >> 20):
    crc = zlib.crc32(zero, crc)
small = b"the entry after the 4 GiB one\n" * 100
packer = zlib.compressobj(9, zlib.DEFLATED, -15)
packed = packer.compress(small) + packer.flush()
with open("zip64.zip", "wb") as f:
    extra = struct.pack("<HHQQ", 1, 16, BIG, BIG)
    f.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0x5821, crc, MARK, MARK, 7, len(extra)) + b"big.bin" + extra)
    f.seek(BIG, 1)  # a hole: zeros that take no disk
    second = f.tell()
    f.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x5821, zlib.crc32(small), len(packed), len(small), 9, 0) + b"after.txt" + packed)
    cd = f.tell()
    f.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x31E, 45, 0, 0, 0, 0x5821, crc, MARK, MARK, 7, len(extra), 0, 0, 0, 0o100644 << 16, 0) + b"big.bin" + extra)
    extra2 = struct.pack("<HHQ", 1, 8, second)
    f.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x31E, 45, 0, 8, 0, 0x5821, zlib.crc32(small), len(packed), len(small), 9, len(extra2), 0, 0, 0, 0o100644 << 16, MARK) + b"after.txt" + extra2)
    end = f.tell()
    f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 2, 2, end - cd, cd))
    f.write(struct.pack("<IIQI", 0x07064B50, 0, end, 1))
    f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 2, 2, end - cd, MARK, 0))
PY
echo "archive: $(stat -c %s zip64.zip) bytes, $(du -k zip64.zip | cut -f1) KiB on disk"

# Expected output, checked without a second 4 GiB copy: the big entry is all zeros.
check() { # folder -> "same" or what differs
  local size; size=$(stat -c %s "$1/big.bin" 2>/dev/null || echo 0)
  if [ "$size" != $(((4 << 30) + (1 << 20))) ]; then echo "big.bin has $size bytes"; return; fi
  cmp -s -n "$size" "$1/big.bin" /dev/zero || { echo "big.bin differs"; return; }
  python3 -c 'import sys; sys.exit(open(sys.argv[1],"rb").read() != b"the entry after the 4 GiB one\n" * 100)' "$1/after.txt" \
    || { echo "after.txt differs"; return; }
  echo same
}

/usr/bin/time -f "%e %M" -o idle.txt "$DRIVER" idle
idle=$(cut -d' ' -f2 idle.txt)
printf "%-8s %9s %14s %16s  %s\n" "" "wall" "peak RSS" "above idle" "output"
ok=1
for name in unzip engine1 engine2; do
  rm -rf out
  case $name in
    unzip) cmd=(unzip -o -q zip64.zip -d out) ;;
    engine1) cmd=("$DRIVER" 1 zip64.zip out) ;;
    engine2) cmd=("$DRIVER" 2 zip64.zip out) ;;
  esac
  /usr/bin/time -f "%e %M" -o run.txt "${cmd[@]}" || echo "$name failed"
  read -r wall rss <run.txt
  verdict=$(check out)
  above=$(((rss - idle) / 1024))
  [ "$verdict" = same ] || ok=0
  [ "$name" = unzip ] || [ "$above" -lt 64 ] || ok=0
  printf "%-8s %8.1fs %10d KiB %12d MiB  %s\n" "$name" "$wall" "$rss" "$above" "$verdict"
done
rm -rf out
[ "$ok" = 1 ] && echo "zip64: all outputs match, memory flat" || { echo "zip64: MISSED"; exit 1; }
