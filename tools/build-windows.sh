#!/usr/bin/env bash
# Cross-builds Guichet for 64-bit Windows in ./build-win with Debian's mingw-w64 toolchain
# (tools/install-windows-deps.sh installs it). The libraries it needs (libogg, speex,
# speexdsp, GoogleTest, SQLite) are built as static libraries from Debian's own source
# packages into build-win/deps, once: a later run finds them there and goes straight to
# Guichet. Delete build-win/deps to build them again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
host=x86_64-w64-mingw32
out=$root/build-win
deps=$out/deps
sources=$out/deps-src
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=${JOBS:-$(nproc)}
mkdir -p "$deps" "$sources"

export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib

# apt-get source needs a deb-src entry; add one beside the machine's deb entries when
# none exists (Debian 12's deb822 file, or an old one-line sources.list).
ensure_deb_src() {
  if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      >/etc/apt/sources.list.d/guichet-deb-src.sources
  else
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      >/etc/apt/sources.list.d/guichet-deb-src.list
  fi
  apt-get update -qq
}

# Unpacks Debian's source package $1 (patches applied) under deps-src; prints its folder.
fetch_source() {
  local package=$1
  local dir
  dir=$(find "$sources" -maxdepth 1 -type d -name "$package-*" | head -n1)
  if [[ -z $dir ]]; then
    ensure_deb_src
    (cd "$sources" && apt-get source -qq "$package" >&2)
    dir=$(find "$sources" -maxdepth 1 -type d -name "$package-*" | head -n1)
  fi
  [[ -n $dir ]] || { echo "source package $package not found" >&2; exit 1; }
  echo "$dir"
}

# Builds an autotools package out of its tree, static only, into deps.
build_autotools() {
  local name=$1 dir=$2
  shift 2
  local work=$out/deps-build/$name
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && "$dir/configure" -q --host=$host --prefix="$deps" --enable-static \
     --disable-shared "$@" && make -s -j"$jobs" && make -s install) >"$work.log" 2>&1 ||
    { tail -n 40 "$work.log"; exit 1; }
}

started=$(date +%s)
built=()
if [[ ! -f $deps/.ogg ]]; then
  build_autotools ogg "$(fetch_source libogg)"
  touch "$deps/.ogg"; built+=(libogg)
fi
if [[ ! -f $deps/.speexdsp ]]; then
  build_autotools speexdsp "$(fetch_source speexdsp)" --disable-examples
  touch "$deps/.speexdsp"; built+=(speexdsp)
fi
if [[ ! -f $deps/.speex ]]; then
  PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig build_autotools speex "$(fetch_source speex)" \
    --disable-binaries --with-ogg="$deps"
  touch "$deps/.speex"; built+=(speex)
fi
if [[ ! -f $deps/.googletest ]]; then
  dir=$(fetch_source googletest)
  cmake -S "$dir" -B "$out/deps-build/googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=ON >"$out/deps-build/googletest.log"
  cmake --build "$out/deps-build/googletest" -j"$jobs" >>"$out/deps-build/googletest.log"
  cmake --install "$out/deps-build/googletest" >>"$out/deps-build/googletest.log"
  touch "$deps/.googletest"; built+=(googletest)
fi
if [[ ! -f $deps/.sqlite3 ]]; then
  dir=$(fetch_source sqlite3)
  work=$out/deps-build/sqlite3
  rm -rf "$work" && mkdir -p "$work"
  # The source package holds SQLite's own tree; its build makes the one-file amalgamation
  # with the machine's compiler and tclsh, which is then compiled for Windows.
  if [[ -f $dir/sqlite3.c ]]; then
    cp "$dir/sqlite3.c" "$dir/sqlite3.h" "$work/"
  else
    (cd "$work" && CC=gcc "$dir/configure" -q --disable-tcl >/dev/null &&
       make -s sqlite3.c) >"$work.log" 2>&1 || { tail -n 40 "$work.log"; exit 1; }
  fi
  $CC -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$work/sqlite3.c" \
    -o "$work/sqlite3.o"
  mkdir -p "$deps/lib/pkgconfig" "$deps/include"
  rm -f "$deps/lib/libsqlite3.a"
  $AR rcs "$deps/lib/libsqlite3.a" "$work/sqlite3.o"
  cp "$work/sqlite3.h" "$deps/include/"
  cat >"$deps/lib/pkgconfig/sqlite3.pc" <<PC
prefix=$deps
libdir=\${prefix}/lib
includedir=\${prefix}/include
Name: SQLite
Description: SQL database engine
Version: 3
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
PC
  touch "$deps/.sqlite3"; built+=(sqlite3)
fi
if ((${#built[@]})); then
  echo "Built ${built[*]} for Windows in $(($(date +%s) - started)) s"
fi

# Guichet itself.
unset CC CXX AR RANLIB
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
export GUICHET_WIN_DEPS=$deps PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig
export WINEPREFIX=${WINEPREFIX:-$out/wine} WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
mkdir -p "$WINEPREFIX"
cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$deps" "${launcher[@]}" >/dev/null
cmake --build "$out" -j"$jobs" "$@"
