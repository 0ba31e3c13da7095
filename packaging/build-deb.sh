#!/usr/bin/env bash
# Builds the Debian package with CPack, checks it with lintian (errors fail), installs it with
# apt-get, checks that the installed service answers, and removes the package again. Run as root
# from anywhere in the checkout (./setup installs what it needs: dpkg-dev, lintian, file).
# Usage: packaging/build-deb.sh [build folder]   (default: build-deb)
# The folder is configured for the package: Debian's hardening flags (dpkg-buildflags), no tests;
# only the service and qorvctl are built. Leaves the package in <build folder>/deb/.
# Two runs on one commit give the same bytes: every time inside is the commit's (SOURCE_DATE_EPOCH).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-deb}
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# CPack strips the programs, so debug information would only cost compile time, and it would
# carry the build folder's path into the build id.
export DEB_CXXFLAGS_MAINT_STRIP=-g
cmake -S . -B "$BUILD" -DQORV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
# rcc stamps the compiled-in resources with SOURCE_DATE_EPOCH and keeps its output while the
# resources are unchanged, so a folder used for an earlier commit would keep that commit's time:
# the resources get one fixed time instead (nothing reads it).
SOURCE_DATE_EPOCH=1 cmake --build "$BUILD" -j2 --target qorv-utility-service qorvctl >/dev/null
rm -rf "$BUILD/deb"
(cd "$BUILD" && cpack -G DEB -B "$PWD/deb" | grep -v '^CPack: - ')
deb=$(ls "$BUILD"/deb/qorv-utility-service_*.deb)
echo "== $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
dpkg-deb --contents "$deb" | awk '{print $NF}' | grep -v '/$'
echo "== lintian --pedantic -I"
# Errors fail the package; warnings, notes and pedantic tags are shown for the record.
if report=$(lintian --fail-on error --pedantic -I "$deb" 2>&1); then code=0; else code=$?; fi
echo "$report" | grep -v '^running with root privileges' || true
[ "$code" -eq 0 ] || { echo "lintian reports errors (exit $code)" >&2; exit 1; }
echo "lintian: no errors"

scratch=$(mktemp -d /tmp/qorv-deb-XXXXXX)
pid=""
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  if dpkg-query -W -f='${Status}' qorv-utility-service 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq qorv-utility-service >/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== apt-get install ./$deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" | grep -i 'qorv' || true
unit=/usr/lib/systemd/user/qorv-utility-service.service
for f in "$(command -v qorv-utility-service)" "$(command -v qorvctl)" "$unit" \
  /etc/xdg/autostart/qorv-utility-service.desktop /etc/xdg/qorv-utility-service/config.ini \
  /usr/share/qorv-utility-service/qss /usr/share/doc/qorv-utility-service/README.md.gz \
  /usr/share/doc/qorv-utility-service/copyright /usr/share/doc/qorv-utility-service/changelog.gz \
  /usr/share/bash-completion/completions/qorvctl; do
  [ -e "$f" ] || { echo "missing: $f" >&2; exit 1; }
  echo "installed: $f"
done
mkdir -p -m 700 "$scratch/run"
XDG_RUNTIME_DIR="$scratch/run" systemd-analyze --user verify "$unit"
desktop-file-validate /etc/xdg/autostart/qorv-utility-service.desktop
echo "unit and autostart entry: valid"
man -w qorvctl qorv-utility-service
echo "\$ qorvctl --version; qorv-utility-service --version"
qorvctl --version
qorv-utility-service --version

# A user of our own with the template config on two free ports.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
export HOME="$scratch" XDG_CONFIG_HOME="$scratch/.config" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY NOTIFY_SOCKET
mkdir -p "$XDG_CONFIG_HOME/qorv-utility-service"
zmq_port=$(free_port); ws_port=$(free_port)
sed -e "s/^port=.*/port=$zmq_port/" -e "s/^wsport=.*/wsport=$ws_port/" /etc/xdg/qorv-utility-service/config.ini \
  > "$XDG_CONFIG_HOME/qorv-utility-service/config.ini"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
# The unit quotes the path (as systemd reads it); /usr/bin needs no escapes, only the quotes go.
exec_start=${exec_start#\"}
exec_start=${exec_start%\"}
if systemctl --user show-environment >/dev/null 2>&1; then
  echo "== no check through systemctl --user: it would use the real user's session; starting ExecStart"
else
  echo "== no systemd user session on this machine: starting the unit's ExecStart line by hand"
fi
# Stands in for systemd's end of NOTIFY_SOCKET: prints what the service reports until READY=1.
python3 - "$scratch/notify" >"$scratch/notify.txt" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1]); s.settimeout(60)
while True:
    message = s.recv(4096).decode()
    print("sd_notify: " + message.replace("\n", " | "), flush=True)
    if "READY=1" in message.split("\n"):
        break
PY
listener=$!
for _ in $(seq 1 100); do [ -S "$scratch/notify" ] && break; sleep 0.1; done
echo "\$ $exec_start   (ports $zmq_port/$ws_port from $XDG_CONFIG_HOME/qorv-utility-service/config.ini)"
NOTIFY_SOCKET="$scratch/notify" "$exec_start" >"$scratch/console.txt" 2>&1 &
pid=$!
wait "$listener" || { echo "no READY=1 within 60 s" >&2; cat "$scratch/console.txt" >&2; exit 1; }
cat "$scratch/notify.txt"
echo "\$ qorvctl abilities"
out=$(qorvctl --timeout 10 abilities 2>&1) || true
echo "$out"
echo "$out" | grep -q '"download' || { echo "the installed service did not answer" >&2; cat "$scratch/console.txt" >&2; exit 1; }
grep -h 'started;\|style sheets' "$scratch"/Documents/*/log/*.log
echo "\$ qorvctl status"
qorvctl --timeout 10 status
kill -TERM "$pid"
wait "$pid" && code=0 || code=$?
pid=""
echo "service stopped on SIGTERM, exit code $code"
[ "$code" -eq 0 ]

echo "== apt-get purge qorv-utility-service (the autostart entry is a conffile: remove would keep it)"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq qorv-utility-service >/dev/null
for f in /usr/bin/qorv-utility-service /usr/bin/qorvctl "$unit" /etc/xdg/autostart/qorv-utility-service.desktop \
  /usr/share/qorv-utility-service /usr/share/man/man1/qorvctl.1.gz /usr/share/bash-completion/completions/qorvctl; do
  [ ! -e "$f" ] || { echo "left behind: $f" >&2; exit 1; }
done
echo "removed cleanly; package kept at $deb"
