#!/usr/bin/env bash
# Cross-builds the service for 64-bit Windows with MinGW-w64 into build-win/:
# build-win/kv_redurozozi.exe (static runtime, one file). Only the service
# itself: tests, tools and benchmarks are Linux programs.
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
echo "Windows package: $exe ($(stat -c %s "$exe") bytes)"
echo "Copy it with fbclient.dll (from the LIS's Firebird installation) into one folder; see README.md, \"Windows\"."
