#!/usr/bin/env bash
# The demo laboratory in one command: installs what is missing, builds, creates
# the demo LIS database (embedded Firebird) when it is not there yet, places the
# service with the demo configuration in ./run/ and runs it in the foreground.
# Ctrl-C stops it. Then, in another terminal: bash scripts/demo.sh
#
#   bash scripts/run-demo.sh [--port PORT]      (or KV_PORT=PORT)
#   bash scripts/run-demo.sh --serial           the XN-550 on a serial port: a socat
#        pseudo-terminal pair, run/tty-service (opened by the service, key
#        portaSerial) and run/tty-analyzer (for demo.sh --serial)
#   KV_STATUS_PORT=PORT: the status page's port (default 6080; 0 turns it off)
#
# For tests: KV_SKIP_BUILD=1 uses the executable already in KV_BUILD_DIR;
# KV_RUN_DIR chooses another run folder.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
demo_args run-demo 13 "$@"
if ! [[ $PORT =~ ^[0-9]+$ ]] || ((PORT < 1 || PORT > 65535)); then
  echo "run-demo: bad port '$PORT'" >&2
  exit 1
fi
STATUS_PORT=${KV_STATUS_PORT:-6080}
if ! [[ $STATUS_PORT =~ ^[0-9]+$ ]] || ((STATUS_PORT > 65535)); then
  echo "run-demo: bad status port '$STATUS_PORT'" >&2
  exit 1
fi

if [[ "${KV_SKIP_BUILD:-0}" != 1 ]]; then
  bash scripts/setup.sh
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD_DIR" -j"${JOBS:-2}" --target kv_redurozozi analyzer-sim
fi
for exe in kv_redurozozi analyzer-sim; do
  if [[ ! -x "$BUILD_DIR/$exe" ]]; then
    echo "run-demo: $BUILD_DIR/$exe is missing" >&2
    exit 1
  fi
done

mkdir -p "$RUN_DIR"
RUN_DIR=$(cd "$RUN_DIR" && pwd)
case "$RUN_DIR" in
  *'"'* | *'\'* | *'|'*) echo "run-demo: the run folder path must not hold \", \\ or |: $RUN_DIR" >&2; exit 1 ;;
esac

# The demo LIS database, made once from the schema and the demo orders. It is
# built under a temporary name, so an interrupted creation is never taken for a database.
DB="$RUN_DIR/lis.fdb"
if [[ ! -f "$DB" ]]; then
  echo "run-demo: creating the demo LIS database $DB"
  NEW="$RUN_DIR/lis.fdb.new"
  SQL=$(mktemp)
  trap 'rm -f "$SQL" "$NEW"' EXIT
  rm -f "$NEW"
  {
    echo "create database '$NEW' user 'SYSDBA' password 'masterkey' default character set WIN1252;"
    cat demo/lis_schema.sql
    echo "commit;"
    cat demo/lis_demo_data.sql
    echo "commit;"
  } >"$SQL"
  if ! isql-fb -q -b -ch UTF8 -i "$SQL" || [[ ! -f "$NEW" ]]; then
    echo "run-demo: could not create the demo LIS database" >&2
    exit 1
  fi
  mv -f "$NEW" "$DB"
  rm -f "$SQL"
  trap - EXIT
fi

# Copy under another name and rename: works while an older copy is running.
cp "$BUILD_DIR/kv_redurozozi" "$RUN_DIR/.kv_redurozozi.new"
mv -f "$RUN_DIR/.kv_redurozozi.new" "$RUN_DIR/kv_redurozozi"
RUN_SED=${RUN_DIR//&/\\&}
sed -e "s|@RUN_DIR@|$RUN_SED|g" -e "s|\"porta\": *[0-9]*|\"porta\": $PORT|" \
  -e "s|\"portaStatus\": *[0-9]*|\"portaStatus\": $STATUS_PORT|" \
  demo/kv_redurozozi.json >"$RUN_DIR/kv_redurozozi.json"

# --serial: a pseudo-terminal pair stands for the cable; the XN-550 is configured
# on the service's end and the simulator plays on the other.
SOCAT=""
if ((SERIAL)); then
  if ! command -v socat >/dev/null; then
    echo "run-demo: --serial needs socat (bash scripts/setup.sh installs it)" >&2
    exit 1
  fi
  rm -f "$TTY_SERVICE" "$TTY_ANALYZER"
  socat "pty,raw,echo=0,link=$TTY_SERVICE" "pty,raw,echo=0,link=$TTY_ANALYZER" &
  SOCAT=$!
  for ((i = 0; i < 100; i++)); do
    [[ -e $TTY_SERVICE && -e $TTY_ANALYZER ]] && break
    sleep 0.05
  done
  if ! [[ -e $TTY_SERVICE && -e $TTY_ANALYZER ]]; then
    kill "$SOCAT" 2>/dev/null || true
    echo "run-demo: socat did not make the serial pair" >&2
    exit 1
  fi
  TTY_SED=${TTY_SERVICE//&/\\&}
  sed -i "s|\"modelo\": \"XN-550\",|&\n      \"portaSerial\": \"$TTY_SED\",|" "$RUN_DIR/kv_redurozozi.json"
fi

cat <<INFO
run-demo: demo laboratory ready
  service       $RUN_DIR/kv_redurozozi (port $PORT)
  configuration $RUN_DIR/kv_redurozozi.json (made from demo/kv_redurozozi.json at every run)
  LIS database  $DB
  service log   $RUN_DIR/Logs/Redurozozi.txt (newest line first)
  database log  $RUN_DIR/Logs/myDB.txt
  output folder $RUN_DIR/saida/ (one subfolder per analyzer model)
  status page   $(if ((STATUS_PORT)); then echo "http://127.0.0.1:$STATUS_PORT/  (also /health and /metrics)"; else echo "off (KV_STATUS_PORT=0)"; fi)
Play the demo messages from another terminal:  bash scripts/demo.sh --port $PORT
Press Ctrl-C to stop the service.
INFO
if ((SERIAL)); then
  echo "  serial pair   XN-550 on $TTY_SERVICE; play it with: bash scripts/demo.sh --serial --port $PORT"
  # The pair lives as long as the service.
  "$RUN_DIR/kv_redurozozi" &
  SVC=$!
  signalled=0
  trap 'signalled=1; kill -TERM $SVC 2>/dev/null' INT TERM
  status=0
  wait "$SVC" || status=$?
  # The signal interrupted the wait (status 128+n): wait for the service's own status.
  if ((signalled)); then
    status=0
    wait "$SVC" || status=$?
  fi
  kill "$SOCAT" 2>/dev/null || true
  wait "$SOCAT" 2>/dev/null || true
  exit "$status"
fi
exec "$RUN_DIR/kv_redurozozi"
