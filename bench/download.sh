#!/usr/bin/env bash
# Download with MD5 check of a 512 MiB file from a local HTTP server: our Downloader (the
# qorv_bench_download driver) against `curl -o FILE` followed by `md5sum FILE`. The two run
# alternately, round by round, each writing a fresh file, so a change in machine load hits
# both alike. Prints per-round wall times (/usr/bin/time), medians, the ratio and peak memory.
# Then the cut round: the server closes every download that starts at byte 0 after 50 % of the
# file. Our Downloader retries by itself (after its first wait of 1 s) with Range/If-Range;
# the peer is `curl -o` failing with its exit code 18, run again at once by hand as
# `curl -C - -o`, then `md5sum`. Both files are checked; prints wall times and the body bytes
# the server sent for each side.
# Usage: bench/download.sh [BUILD_FOLDER]
#   (default: build; env QORV_BENCH_MIB, QORV_BENCH_ROUNDS, QORV_BENCH_CUT_ROUNDS, default 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
mib=${QORV_BENCH_MIB:-512}
rounds=${QORV_BENCH_ROUNDS:-7}
cut_rounds=${QORV_BENCH_CUT_ROUNDS:-3}

cmake --build "$build" --target qorv_bench_download -j2 >/dev/null
driver="$build/bench/qorv_bench_download"
work=$(mktemp -d /tmp/qorv-bench-download.XXXXXX)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/package.bin"
md5=$(md5sum "$work/package.bin" | cut -d' ' -f1)
python3 "$here/serve_files.py" "$work" >"$work/port" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/package.bin"

# "wall_seconds peak_kib" of one command; the peer's peak is the larger of its two programs.
timed() { /usr/bin/time -f "%e %M" -o "$work/t" "$@" >/dev/null 2>&1 && cat "$work/t"; }

# Warm-up, and both must produce the right bytes before their times mean anything.
"$driver" "$url" "$work/ours.bin" "$md5" 2>/dev/null
curl -sS -o "$work/curl.bin" "$url"
[ "$(md5sum <"$work/ours.bin" | cut -d' ' -f1)" = "$md5" ] || { echo "download.sh: wrong bytes" >&2; exit 1; }
cmp -s "$work/ours.bin" "$work/curl.bin" || { echo "download.sh: curl's file differs" >&2; exit 1; }

echo "== ${mib} MiB over http://127.0.0.1 with MD5 check; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %14s %22s %8s\n' round "Downloader s" "curl -o + md5sum s" ratio
: >"$work/rounds"
for r in $(seq "$rounds"); do
  rm -f "$work/ours.bin" "$work/curl.bin"
  read -r t_ours m_ours < <(timed "$driver" "$url" "$work/ours.bin" "$md5")
  rm -f "$work/ours.bin"
  read -r t_curl m_curl < <(timed curl -sS -o "$work/curl.bin" "$url")
  read -r t_md5 m_md5 < <(timed md5sum "$work/curl.bin")
  echo "$t_ours $m_ours $t_curl $m_curl $t_md5 $m_md5" >>"$work/rounds"
  python3 -c "import sys; o, c, m = map(float, sys.argv[2:]); print(f'{sys.argv[1]:<6} {o:14.2f} {c + m:22.2f} {o / (c + m):8.2f}')" \
    "$r" "$t_ours" "$t_curl" "$t_md5"
done

python3 - "$work/rounds" "$mib" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1])]
mib = int(sys.argv[2])
ours = [r[0] for r in rows]
peer = [r[2] + r[4] for r in rows]
ratios = [o / p for o, p in zip(ours, peer)]
mo, mp = statistics.median(ours), statistics.median(peer)
print(f"median: Downloader {mo:.2f} s ({mib / mo:.0f} MiB/s); curl -o + md5sum {mp:.2f} s ({mib / mp:.0f} MiB/s)")
print(f"ratio Downloader / (curl + md5sum): median of rounds {statistics.median(ratios):.2f}, "
      f"best {min(ratios):.2f}, worst {max(ratios):.2f}  (target <= 0.60)")
print(f"peak RSS: Downloader {max(r[1] for r in rows) / 1024:.0f} MiB (target < 32); "
      f"curl {max(r[3] for r in rows) / 1024:.0f} MiB, md5sum {max(r[5] for r in rows) / 1024:.0f} MiB")
PY

# The cut round.
cut_url="$url?cut=50"
sent() { curl -sS "http://127.0.0.1:$(cat "$work/port")/__sent"; }
now() { date +%s.%N; }
echo
echo "== cut at 50 %: ${mib} MiB, resumed by the Downloader (includes its 1 s wait) against curl -C - restarted at once"
printf '%-6s %14s %10s %26s %10s %8s\n' round "Downloader s" "sent MiB" "curl + curl -C - + md5 s" "sent MiB" ratio
: >"$work/cut"
for r in $(seq "$cut_rounds"); do
  rm -f "$work/ours.bin" "$work/curl.bin"
  s0=$(sent)
  read -r t_ours _ < <(timed "$driver" "$cut_url" "$work/ours.bin" "$md5")
  s1=$(sent)
  [ "$(md5sum <"$work/ours.bin" | cut -d' ' -f1)" = "$md5" ] || { echo "download.sh: wrong resumed bytes" >&2; exit 1; }
  rm -f "$work/ours.bin"
  start=$(now)
  code=0
  curl -sS -o "$work/curl.bin" "$cut_url" 2>/dev/null || code=$?
  [ "$code" = 18 ] || { echo "download.sh: curl was not cut (exit $code)" >&2; exit 1; }
  curl -sS -C - -o "$work/curl.bin" "$cut_url"
  md5sum "$work/curl.bin" >"$work/curl.md5"
  end=$(now)
  s2=$(sent)
  [ "$(cut -d' ' -f1 "$work/curl.md5")" = "$md5" ] || { echo "download.sh: wrong bytes from curl -C -" >&2; exit 1; }
  echo "$t_ours $((s1 - s0)) $start $end $((s2 - s1))" >>"$work/cut"
  python3 -c "import sys; o, a, s, e, b = map(float, sys.argv[2:]); print(f'{sys.argv[1]:<6} {o:14.2f} {a / 2**20:10.1f} {e - s:26.2f} {b / 2**20:10.1f} {o / (e - s):8.2f}')" \
    "$r" "$t_ours" "$((s1 - s0))" "$start" "$end" "$((s2 - s1))"
done
python3 - "$work/cut" "$mib" <<'PY'
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1])]
mib = int(sys.argv[2])
ours = statistics.median(r[0] for r in rows)
peer = statistics.median(r[3] - r[2] for r in rows)
print(f"median: Downloader {ours:.2f} s (without its 1 s wait {ours - 1:.2f} s), "
      f"curl + curl -C - + md5sum {peer:.2f} s; ratio {ours / peer:.2f} ({(ours - 1) / peer:.2f} without the wait)")
print(f"bytes sent: Downloader {max(r[1] for r in rows) / 2**20 / mib:.3f} x the file, "
      f"curl {max(r[4] for r in rows) / 2**20 / mib:.3f} x the file")
PY
