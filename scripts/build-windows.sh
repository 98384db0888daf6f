#!/usr/bin/env bash
# Cross-builds the service for 64-bit Windows with MinGW-w64 into build-win/:
# build-win/kv_redurozozi.exe (static runtime, one file), and its installer
# build-win/kv_redurozozi-setup.exe (NSIS, packaging/windows/kv_redurozozi.nsi).
# Only the service itself: tests, tools and benchmarks are Linux programs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${KV_WIN_BUILD_DIR:-build-win}
JOBS=${JOBS:-2}

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "build-windows: x86_64-w64-mingw32-g++-posix is missing (bash scripts/setup.sh installs it)" >&2
  exit 1
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
fi

cmake -S . -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKV_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS" --target kv_redurozozi

exe="$ROOT/$BUILD_DIR/kv_redurozozi.exe"
echo "Windows executable: $exe ($(stat -c %s "$exe") bytes)"

if ! command -v makensis >/dev/null; then
  echo "build-windows: makensis is missing (bash scripts/setup.sh installs nsis)" >&2
  exit 1
fi
version=$(cat "$BUILD_DIR/version.txt")
numeric=$(grep -o '^[0-9]*\(\.[0-9]*\)\{0,3\}' <<<"$version")
while [[ $(tr -cd . <<<"$numeric" | wc -c) -lt 3 ]]; do numeric+=.0; done
# The example configuration names the default folder's output folder (JSON doubles the backslash).
example=$(<packaging/kv_redurozozi.example.json.in)
outdir='C:\\Program Files\\Tevarin\\Redurozozi\\saida\\'
printf '%s\n' "${example//@PASTA_SAIDA@/"$outdir"}" >"$BUILD_DIR/kv_redurozozi.example.json"
setup="$ROOT/$BUILD_DIR/kv_redurozozi-setup.exe"
makensis -V2 -DVERSION="$version" -DVERSION_NUMERIC="$numeric" -DEXE="$exe" \
  -DEXAMPLE="$ROOT/$BUILD_DIR/kv_redurozozi.example.json" -DSTARTING="$ROOT/packaging/kv_redurozozi.json.in" \
  -DOUTFILE="$setup" packaging/windows/kv_redurozozi.nsi
echo "Windows installer: $setup ($(stat -c %s "$setup") bytes; see README.md, \"Windows\")"
