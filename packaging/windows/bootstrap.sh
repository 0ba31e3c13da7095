#!/usr/bin/env bash
# Cross-builds what the Windows build links (Qt, libzmq, zlib with minizip, OpenSSL) from Debian's
# source packages with mingw-w64 (posix threads), into a cache folder outside the tree:
#   ${QORV_WINDOWS_CACHE:-~/.cache/qorv-windows}/<versions>/{bin,include,lib,qt}
# and points ${QORV_WINDOWS_CACHE}/current at it. A finished folder is reused as it is.
# Nothing is fetched but Debian's packages and source packages. Run as root (it installs packages).
set -euo pipefail
shopt -s inherit_errexit

CACHE=${QORV_WINDOWS_CACHE:-$HOME/.cache/qorv-windows}
JOBS=${JOBS:-$(nproc)}
HOST=x86_64-w64-mingw32
# Bumped when the recipe below changes what ends up in the prefix.
RECIPE=1

PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev wine64 dpkg-dev make cmake perl python3 pkg-config xz-utils)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The posix variant, for std::thread.
update-alternatives --set $HOST-gcc /usr/bin/$HOST-gcc-posix >/dev/null
update-alternatives --set $HOST-g++ /usr/bin/$HOST-g++-posix >/dev/null

# Source packages come through an apt setup of our own, so the machine's stays untouched.
APT=$CACHE/apt
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$CACHE/src"
cat >"$APT/sources.list" <<SOURCES
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
SOURCES
apt_own() {
  apt-get -o Dir::Etc::sourcelist="$APT/sources.list" -o Dir::Etc::sourceparts=- \
    -o Dir::State::Lists="$APT/lists" -o Dir::Cache="$APT/cache" -o APT::Sandbox::User=root "$@"
}
SOURCES=(qtbase-opensource-src zeromq3 openssl zlib minizip libdeflate)
version_of() {
  apt_own -qq --print-uris source "$1" 2>/dev/null | awk '/\.dsc/ {print $2}' | sed -E 's/^[^_]+_(.*)\.dsc$/\1/'
}
echo "bootstrap: reading Debian's source index"
apt_own -qq update
key=r$RECIPE
for s in "${SOURCES[@]}"; do
  v=$(version_of "$s")
  [ -n "$v" ] || { echo "bootstrap: no source package $s" >&2; exit 1; }
  key+="-$s-$v"
done
key=$(printf '%s' "$key" | tr ':~+' '___')
PREFIX=$CACHE/$key
if [ -f "$PREFIX/.complete" ]; then
  ln -sfn "$key" "$CACHE/current"
  echo "bootstrap: $PREFIX is ready (reused)"
  exit 0
fi

# Each library is built once into the prefix; a step that finished is not repeated when a later one
# failed and the script runs again.
WORK=$CACHE/build-$key
mkdir -p "$WORK" "$PREFIX/lib/pkgconfig" "$PREFIX/include" "$PREFIX/bin"
unpack() { # package -> prints the unpacked folder, patches applied
  (cd "$CACHE/src" && apt_own -qq --download-only source "$1" >/dev/null)
  local dsc
  dsc=$(ls -t "$CACHE/src/$1"_*.dsc | head -1)
  rm -rf "${WORK:?}/$1"
  dpkg-source --no-check -x "$dsc" "$WORK/$1" >/dev/null
  echo "$WORK/$1"
}
started=$(date +%s)
step() { echo "bootstrap: $* ($(($(date +%s) - started)) s)"; }

cat >"$WORK/toolchain.cmake" <<TC
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)
set(CMAKE_C_COMPILER $HOST-gcc-posix)
set(CMAKE_CXX_COMPILER $HOST-g++-posix)
set(CMAKE_RC_COMPILER $HOST-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$HOST $PREFIX)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC

build_zlib() {
  local src zo f
  src=$(unpack zlib)
  # Debian's zlib source drops win32/ (its resource file and makefile): a static library is enough.
  zo=$WORK/zlib-obj
  mkdir -p "$zo"
  for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate \
    inftrees trees uncompr zutil; do
    $HOST-gcc -O2 -c "$src/$f.c" -o "$zo/$f.o"
  done
  $HOST-ar rcs "$PREFIX/lib/libz.a" "$zo"/*.o
  cp "$src"/{zlib,zconf}.h "$PREFIX/include/"
  cat >"$PREFIX/lib/pkgconfig/zlib.pc" <<PC
prefix=\${pcfiledir}/../..
Name: zlib
Description: zlib compression library
Version: $(sed -nE 's/^#define ZLIB_VERSION "([^"]+)".*/\1/p' "$src/zlib.h")
Libs: -L\${prefix}/lib -lz
Cflags: -I\${prefix}/include
PC
}

build_minizip() {
  local src mz f
  src=$(unpack minizip)
  mz=$WORK/minizip-obj
  mkdir -p "$mz" "$PREFIX/include/minizip"
  for f in ioapi unzip zip iowin32; do
    $HOST-gcc -O2 -w -c "$src/$f.c" -o "$mz/$f.o" -I"$PREFIX/include"
  done
  $HOST-ar rcs "$PREFIX/lib/libminizip.a" "$mz"/*.o
  cp "$src"/{ioapi,unzip,zip,iowin32,crypt}.h "$PREFIX/include/minizip/"
  cat >"$PREFIX/lib/pkgconfig/minizip.pc" <<PC
prefix=\${pcfiledir}/../..
Name: minizip
Description: zip and unzip on top of zlib
Version: 1.1
Requires: zlib
Libs: -L\${prefix}/lib -lminizip
Cflags: -I\${prefix}/include/minizip -I\${prefix}/include
PC
}

build_libdeflate() {
  local src dfo f
  src=$(unpack libdeflate)
  dfo=$WORK/libdeflate-obj
  mkdir -p "$dfo"
  for f in "$src"/lib/*.c "$src"/lib/x86/*.c; do
    $HOST-gcc -O2 -I"$src" -c "$f" -o "$dfo/$(basename "$f" .c).o"
  done
  $HOST-ar rcs "$PREFIX/lib/libdeflate.a" "$dfo"/*.o
  cp "$src/libdeflate.h" "$PREFIX/include/"
  cat >"$PREFIX/lib/pkgconfig/libdeflate.pc" <<PC
prefix=\${pcfiledir}/../..
Name: libdeflate
Description: DEFLATE, zlib and gzip compression
Version: $(sed -nE 's/^#define LIBDEFLATE_VERSION_STRING[^"]*"([^"]+)".*/\1/p' "$src/libdeflate.h")
Libs: -L\${prefix}/lib -ldeflate
Cflags: -I\${prefix}/include -DLIBDEFLATE_STATIC
PC
}

build_openssl() {
  local src
  src=$(unpack openssl)
  (cd "$src" && ./Configure mingw64 --cross-compile-prefix=$HOST- --prefix="$PREFIX" --libdir=lib \
    shared no-tests >/dev/null && make -j"$JOBS" build_sw >"$WORK/openssl-build.log" 2>&1 &&
    make install_sw >/dev/null) || { tail -40 "$WORK/openssl-build.log" >&2; return 1; }
  # Every module of the cache names its place relative to itself, so the folder can move.
  sed -i 's|^prefix=.*|prefix=${pcfiledir}/../..|' "$PREFIX"/lib/pkgconfig/{libcrypto,libssl,openssl}.pc
}

build_zmq() {
  local src zmqlib
  src=$(unpack zeromq3)
  rm -rf "$WORK/zmq-build"
  # mingw-w64 has afunix.h but libzmq 4.3.4 includes it for MSVC only: no ipc:// transport (unused).
  PKG_CONFIG_LIBDIR="$PREFIX/lib/pkgconfig" cmake -S "$src" -B "$WORK/zmq-build" -DCMAKE_TOOLCHAIN_FILE="$WORK/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_TESTS=OFF \
    -DBUILD_STATIC=OFF -DWITH_LIBSODIUM=OFF -DENABLE_CURVE=OFF -DWITH_DOCS=OFF -DWITH_PERF_TOOL=OFF \
    -DENABLE_DRAFTS=OFF -DENABLE_PRECOMPILED=OFF -DZMQ_HAVE_IPC=OFF -DWITH_LIBBSD=OFF >"$WORK/zmq-build.log" 2>&1 &&
    cmake --build "$WORK/zmq-build" -j"$JOBS" >>"$WORK/zmq-build.log" 2>&1 &&
    cmake --install "$WORK/zmq-build" >/dev/null || { tail -40 "$WORK/zmq-build.log" >&2; return 1; }
  # The import library carries the version in its name; pkg-config names it as the build made it.
  zmqlib=$(basename "$(ls "$PREFIX"/lib/libzmq*.dll.a | head -1)" .dll.a)
  cat >"$PREFIX/lib/pkgconfig/libzmq.pc" <<PC
prefix=\${pcfiledir}/../..
Name: libzmq
Description: ZeroMQ
Version: $(sed -nE 's/^#define ZMQ_VERSION_MAJOR ([0-9]+).*/\1/p' "$src/include/zmq.h").x
Libs: -L\${prefix}/lib -l${zmqlib#lib} -lws2_32 -liphlpapi
Cflags: -I\${prefix}/include
PC
}

build_qt() {
  local src
  src=$(unpack qtbase-opensource-src)
  rm -rf "$WORK/qt-build"
  mkdir -p "$WORK/qt-build"
  (cd "$WORK/qt-build" && "$src/configure" -prefix "$PREFIX/qt" -opensource -confirm-license \
    -release -xplatform win32-g++ -device-option CROSS_COMPILE=$HOST- -no-opengl -no-dbus -no-icu \
    -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz -no-sql-sqlite -no-sql-odbc \
    -no-sql-psql -no-sql-mysql -no-feature-tabletevent -no-direct2d -nomake examples -nomake tests \
    -openssl-linked OPENSSL_PREFIX="$PREFIX" \
    OPENSSL_LIBS="-L$PREFIX/lib -lssl -lcrypto -lws2_32 -lcrypt32 -luser32 -ladvapi32" \
    >"$WORK/qt-configure.log" 2>&1) || { tail -40 "$WORK/qt-configure.log" >&2; return 1; }
  step "Qt: configured, building"
  make -C "$WORK/qt-build" -j"$JOBS" >"$WORK/qt-build.log" 2>&1 ||
    { tail -40 "$WORK/qt-build.log" >&2; return 1; }
  make -C "$WORK/qt-build" install >/dev/null 2>&1
}

for lib in zlib minizip libdeflate openssl zmq qt; do
  [ -f "$PREFIX/.built-$lib" ] && continue
  step "$lib"
  "build_$lib"
  touch "$PREFIX/.built-$lib"
done

# The mingw runtime the programs need beside them.
cp /usr/lib/gcc/$HOST/12-posix/{libstdc++-6,libgcc_s_seh-1}.dll /usr/$HOST/lib/libwinpthread-1.dll "$PREFIX/bin/"
touch "$PREFIX/.complete"
ln -sfn "$key" "$CACHE/current"
rm -rf "$WORK"
# Folders of earlier versions or recipes are no longer used.
for old in "$CACHE"/r[0-9]*-* "$CACHE"/build-*; do
  [ "$old" = "$PREFIX" ] || [ ! -e "$old" ] || rm -rf "$old"
done
step "done: $PREFIX"
