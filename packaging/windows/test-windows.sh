#!/usr/bin/env bash
# ./test --windows: builds the service, qorvctl and the portable unit tests for Windows and runs the
# tests under Wine, then runs the end-to-end tests (Linux programs, from build/) against the Windows
# service under Wine. Needs the cache ./setup --windows made; says so if it is missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
CACHE=${QORV_WINDOWS_CACHE:-$HOME/.cache/qorv-windows}
if [ ! -f "$CACHE/current/.complete" ]; then
  echo "test --windows: no Windows libraries in $CACHE; run ./setup --windows first (most of an hour)" >&2
  exit 2
fi
started=$(date +%s)
./setup --windows
./setup

# One Wine prefix of our own, made once; nothing of the user's ~/.wine is touched.
export WINEPREFIX=${QORV_WINE_PREFIX:-$CACHE/wineprefix}
export WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
# wineboot returns before the prefix is filled in (its registry, COM, the shell): the Wine server
# ends only once every part of it is, and only then is the prefix marked ready.
if [ ! -f "$WINEPREFIX/.qorv-ready" ]; then
  echo "test --windows: making the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  "$WINE" wineboot --init >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  touch "$WINEPREFIX/.qorv-ready"
fi
# Wine gives /tmp (open to all, sticky) an access list that lets others write, which the service
# rightly refuses for a client's path: the tests' files live in a folder of this user's alone.
TMPDIR=$(mktemp -d "$CACHE/tmp.XXXXXX")
export TMPDIR
# A display of our own, so that Wine can make windows (the log-off watch, notices, captures).
display=$(for n in $(seq 90 140); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { echo "$n"; break; }; done)
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  "$WINE" wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$TMPDIR"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display"

# Unit tests under Wine: one at a time, since Wine's server is shared.
QT_QPA_PLATFORM=offscreen ctest --test-dir build-win --output-on-failure --timeout 600 "$@"

# Each service below runs in a copy of the prefix: the copy is taken from a prefix at rest.
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w >/dev/null 2>&1 || true

# The end-to-end tests drive build-win/bin/qorv-utility-service.exe under Wine. windows-e2e.txt
# names each test program and, where only some of its functions can pass against a Windows
# service, those functions; README's Windows section says why the others do not run here.
cat >build-win/qorvctl-under-wine <<WRAPPER
#!/bin/sh
exec $WINE $(pwd)/build-win/bin/qorvctl.exe "\$@"
WRAPPER
chmod +x build-win/qorvctl-under-wine
failed=()
while read -r name functions; do
  case "$name" in ''|'#'*) continue ;; esac
  program=$(find build/tests -name "$name" -type f -perm -u+x | head -1)
  echo "test --windows: $name ${functions:-(all)}"
  # shellcheck disable=SC2086  # the functions are separate arguments
  if ! QT_QPA_PLATFORM=offscreen QTEST_FUNCTION_TIMEOUT=600000 QORV_SOURCE_DIR=$(pwd) \
    QORV_SERVICE_WINE=$WINE QORV_WINDOWS_SERVICE=$(pwd)/build-win/bin/qorv-utility-service.exe \
    QORV_SERVICE_BIN=$(pwd)/build/app/qorv-utility-service QORV_QORVCTL_BIN=$(pwd)/build-win/qorvctl-under-wine \
    timeout 900 "$program" $functions </dev/null >"build-win/$name.log" 2>&1; then
    failed+=("$name")
    grep -E "^(FAIL|   )" "build-win/$name.log" | head -40
  fi
done <packaging/windows/windows-e2e.txt
# The package: unpacked, started through its log-on entry, answering the Windows qorvctl.
echo "test --windows: the package"
cmake --build build-win --target windows_zip >/dev/null
package=$TMPDIR/package
mkdir -p "$package"
(cd "$package" && cmake -E tar xf "$(ls "$OLDPWD"/build-win/qorv-utility-service-*-windows-x86_64.zip)")
folder=$package/qorv-utility-service
sed -i 's/^port=5555/port=47655/; s/^wsport=5556/wsport=47656/' "$folder/config.ini"
startup_entry() { # prints yes when the log-on entry is there (Wine spells the folder StartUp)
  find "$WINEPREFIX/drive_c/users" -ipath '*/start menu/programs/startup/qorv-utility-service.cmd' |
    grep -q . && echo yes
}
"$WINE" cmd /c "Z:${folder//\//\\}\\start-at-logon.cmd" >/dev/null 2>&1 || failed+=("start-at-logon.cmd")
[ "$(startup_entry)" = yes ] || failed+=("the Startup-folder entry")
answered=no
for _ in $(seq 60); do
  if "$WINE" "$folder/qorvctl.exe" --port 47656 abilities 2>/dev/null | grep -q query_disk_space; then
    answered=yes
    break
  fi
  sleep 0.5
done
[ "$answered" = yes ] || failed+=("the packaged service answering qorvctl.exe")
"$WINE" cmd /c "Z:${folder//\//\\}\\stop-starting-at-logon.cmd" >/dev/null 2>&1
[ "$(startup_entry)" != yes ] || failed+=("stop-starting-at-logon.cmd")

if [ ${#failed[@]} -gt 0 ]; then
  echo "test --windows: failed under Wine: ${failed[*]} (logs in build-win/)" >&2
  exit 1
fi
echo "test --windows: all Windows tests passed in $(($(date +%s) - started)) s"
