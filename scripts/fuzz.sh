#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for a bounded time:
# FUZZ_SECONDS (default 30) each. Fails when a target finds something; the
# input is left in build-fuzz/artifacts/. Turn a finding into a regression
# test in the ordinary suites and copy the input into fuzz/regressions/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_EACH=${FUZZ_SECONDS:-30}
JOBS=${JOBS:-2}
B=$ROOT/build-fuzz
TARGETS=(link_receiver lines identification handlers config record)

start=$(date +%s)
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
CC=clang CXX=clang++ cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_FUZZ=ON -DKV_BUILD_TESTS=OFF \
  "${launcher[@]}" >/dev/null
cmake --build "$B" -j"$JOBS" --target fuzz_all
built=$(date +%s)

# Seeds, made afresh from the repository: the analyzer captures of tests/data
# and the JSON document of fuzz/seeds/json, each twice behind the leading byte
# that decides how the targets cut and feed them (0: one read outside a
# transfer; 7: small reads, inside a transfer); the configuration seeds as they are.
rm -rf "$B/seeds"
for t in "${TARGETS[@]}"; do mkdir -p "$B/seeds/$t" "$B/corpus/$t" "$ROOT/fuzz/regressions/$t"; done
for f in tests/data/astm/* tests/data/hl7/* fuzz/seeds/json/*; do
  name=$(basename "$f")
  for t in link_receiver lines identification handlers record; do
    { printf '\000'; cat "$f"; } >"$B/seeds/$t/0-$name"
    { printf '\007'; cat "$f"; } >"$B/seeds/$t/7-$name"
  done
done
cp fuzz/seeds/config/* "$B/seeds/config/"
mkdir -p "$B/artifacts" "$B/logs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0:use_tls=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
summary=""
for t in "${TARGETS[@]}"; do
  log=$B/logs/$t.log
  # The work corpus comes first (new inputs go there), then the seeds, then
  # the inputs of earlier findings, which every run replays.
  if "$B/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
       -artifact_prefix="$B/artifacts/$t-" "$B/corpus/$t" "$B/seeds/$t" "$ROOT/fuzz/regressions/$t" >"$log" 2>&1; then
    result=ok
  else
    result=FINDING
    status=1
    tail -n 40 "$log"
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  summary+=$(printf '%-16s %-8s %12s executions\n' "$t" "$result" "$execs")$'\n'
done
end=$(date +%s)

echo "== fuzz targets (${SECONDS_EACH} s each)"
printf '%s' "$summary"
echo "build $((built - start)) s, runs $((end - built)) s, total $((end - start)) s"
exit $status
