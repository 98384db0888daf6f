#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, the
# Debian package installed for real (scripts/package-test.sh), a 2-minute soak
# run (scripts/soak.sh), the same tests through a Firebird server on 127.0.0.1,
# the sanitizer build, the Windows build and installer under Wine, and a
# bounded run of every fuzz target (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

began=$SECONDS
# Each stage's heading says how long the run has taken so far.
stage() { echo "== [$(( (SECONDS - began) / 60 ))m$(( (SECONDS - began) % 60 ))s] $*"; }

bash scripts/setup.sh --with-server
stage "packages in place"

JOBS=${JOBS:-2}
# ccache (installed by setup.sh) makes a second run on the same machine quick.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=true
fi
start=$SECONDS
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build build -j"$JOBS"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j"$JOBS" --target kv_tests
stage "builds took $((SECONDS - start)) s"

status=0

stage "tests (release build, embedded database)"
(cd build && ctest --output-on-failure -j"$JOBS" -E '^Status(EndToEnd|Server)\.') || status=1

stage "status page, /health and /metrics against the real service (headless chromium, promtool)"
for tool in chromium promtool; do
  command -v "$tool" >/dev/null || echo "status: $tool is missing: the checks that need it are skipped (bash scripts/setup.sh installs it)"
done
build/test_status --gtest_filter='StatusEndToEnd.*:StatusServer.*' || status=1

stage "Debian package: built, checked by lintian, installed, upgraded, removed and purged (as root)"
bash scripts/package-test.sh || status=1

stage "soak (2 minutes, 50 simulated analyzers, the demo LIS)"
bash scripts/soak.sh --seconds 120 --analyzers 50 || status=1

stage "LIS lookup tests through a Firebird server on 127.0.0.1"
bash scripts/firebird-server.sh start
trap 'bash "$ROOT/scripts/firebird-server.sh" stop' EXIT
(cd build && KV_FB_SERVER=127.0.0.1${KV_FB_PORT:+/$KV_FB_PORT} KV_FB_PASSWORD_FILE=/etc/firebird/3.0/SYSDBA.password \
   ctest --output-on-failure -R '^(Server/|MyDBServer\.|LisServerFaults\.)') || status=1
bash scripts/firebird-server.sh stop
trap - EXIT

stage "tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
# use_tls=0: the Firebird client loads and unloads its engine plugin, which
# leaves stale dynamic-TLS ranges that crash LeakSanitizer's tracer at exit.
export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0:use_tls=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$JOBS") || status=1

stage "Windows build (MinGW-w64), its installer (NSIS) and their smoke test under Wine"
wstart=$SECONDS
if bash scripts/build-windows.sh; then
  echo "cross-build took $((SECONDS - wstart)) s"
  bash scripts/wine-smoke.sh build-win/kv_redurozozi.exe build/analyzer-sim build-win/kv_redurozozi-setup.exe || status=1
else
  status=1
fi
echo "Windows part took $((SECONDS - wstart)) s"

stage "fuzz targets (libFuzzer, ${FUZZ_SECONDS:-30} s each)"
bash scripts/fuzz.sh || status=1

stage "end"
if [[ $status -eq 0 ]]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
