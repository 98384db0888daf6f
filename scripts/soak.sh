#!/usr/bin/env bash
# Soak run: the built service with the demo LIS database (embedded Firebird),
# made by run-demo.sh in a temporary folder, under build/soak's simulated
# analyzers; then a clean stop (SIGTERM, exit status 0). Fails when the soak's
# checks or the stop fail; the folder is kept then, for a look at the log.
#
#   bash scripts/soak.sh [--seconds N] [--analyzers N]     (defaults 120 and 50)
#
# KV_BUILD_DIR: the build folder (build); KV_PORT: the port (a free one is picked);
# TMPDIR: where the run folder is made (/tmp).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${KV_BUILD_DIR:-$ROOT/build}
DURATION=120
ANALYZERS=50
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seconds) DURATION=${2:?--seconds needs a value}; shift 2 ;;
    --analyzers) ANALYZERS=${2:?--analyzers needs a value}; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak: unknown argument $1 (try --help)" >&2; exit 1 ;;
  esac
done
for exe in kv_redurozozi soak; do
  if [[ ! -x "$BUILD_DIR/$exe" ]]; then
    echo "soak: $BUILD_DIR/$exe is missing (build it first)" >&2
    exit 1
  fi
done

RUN=$(mktemp -d "${TMPDIR:-/tmp}/kv-soak.XXXXXX")
PID=
stop_service() {
  [[ -n $PID ]] && kill -0 "$PID" 2>/dev/null || return 0
  kill -TERM "$PID"
  wait "$PID"
}
trap 'stop_service >/dev/null 2>&1' EXIT

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A port picked at random may be taken: the service then exits, and another is tried.
for attempt in 1 2 3 4 5; do
  PORT=${KV_PORT:-$((20000 + RANDOM % 20000))}
  KV_RUN_DIR=$RUN KV_SKIP_BUILD=1 KV_BUILD_DIR=$BUILD_DIR KV_PORT=$PORT \
    bash scripts/run-demo.sh >"$RUN/run-demo.out" 2>&1 &
  PID=$!
  # The first start creates the demo database: allow it a minute.
  for _ in $(seq 1 600); do
    listening "$PORT" && break
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.1
  done
  listening "$PORT" && break
  stop_service >/dev/null 2>&1
  PID=
  if [[ -n ${KV_PORT:-} || $attempt -eq 5 ]]; then
    echo "soak: the service did not start; see $RUN/run-demo.out and $RUN/Logs/" >&2
    exit 1
  fi
done

echo "soak: service pid $PID on port $PORT in $RUN"
"$BUILD_DIR/soak" --port "$PORT" --pid "$PID" --output "$RUN/saida" --messages demo/messages \
  --seconds "$DURATION" --analyzers "$ANALYZERS"
status=$?

kill -TERM "$PID"
wait "$PID"
exit_status=$?
PID=
if [[ $exit_status -ne 0 ]]; then
  echo "soak: FAILED: the service ended with status $exit_status after SIGTERM"
  status=1
fi
if [[ $status -eq 0 ]]; then
  rm -rf "$RUN"
else
  echo "soak: FAILED; the run folder is kept: $RUN"
fi
exit $status
