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
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test --windows: making the Wine prefix $WINEPREFIX"
  "$WINE" wineboot --init >/dev/null 2>&1
fi

# Unit tests under Wine: one at a time, since Wine's server is shared.
QT_QPA_PLATFORM=offscreen ctest --test-dir build-win --output-on-failure --timeout 600 "$@"

# The end-to-end tests drive build-win/bin/qorv-utility-service.exe under Wine. The ones listed in
# windows-e2e.txt are those whose checks a Windows service can meet; README's Windows section says
# why the others do not run here.
pattern=$(grep -v '^#' packaging/windows/windows-e2e.txt | grep . | paste -sd'|')
QT_QPA_PLATFORM=offscreen QORV_SERVICE_WINE=$WINE \
  QORV_WINDOWS_SERVICE=$(pwd)/build-win/bin/qorv-utility-service.exe \
  ctest --test-dir build --output-on-failure --timeout 900 -R "^($pattern)\$"
"$WINE" wineserver -k >/dev/null 2>&1 || true
echo "test --windows: all Windows tests passed in $(($(date +%s) - started)) s"
