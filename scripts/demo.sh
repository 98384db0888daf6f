#!/usr/bin/env bash
# Plays the demo laboratory's analyzers against the running demo service
# (bash scripts/run-demo.sh in another terminal) with the analyzer simulator,
# and shows where each archive file landed.
#
#   bash scripts/demo.sh [--port PORT]      (or KV_PORT=PORT)
#   bash scripts/demo.sh --serial           the XN-550's steps over the serial pair
#                                           of run-demo.sh --serial
#
# KV_BUILD_DIR and KV_RUN_DIR as for run-demo.sh; KV_SIM_TIMEOUT (seconds) bounds every wait.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
demo_args demo 10 "$@"
OUT="$RUN_DIR/saida"
SIM=("$BUILD_DIR/analyzer-sim" --port "$PORT" --timeout "${KV_SIM_TIMEOUT:-15}")
# The XN-550's steps: over TCP, or with --serial on the analyzer's end of the pair.
XN=("${SIM[@]}")
if ((SERIAL)); then
  if [[ ! -e $TTY_ANALYZER ]]; then
    echo "demo: $TTY_ANALYZER is missing; start the service with bash scripts/run-demo.sh --serial" >&2
    exit 1
  fi
  XN=("$BUILD_DIR/analyzer-sim" --serial "$TTY_ANALYZER" --timeout "${KV_SIM_TIMEOUT:-15}")
fi
MSG=demo/messages

if [[ ! -x "$BUILD_DIR/analyzer-sim" ]]; then
  echo "demo: $BUILD_DIR/analyzer-sim is missing; run bash scripts/run-demo.sh first" >&2
  exit 1
fi

failures=0

# Archive files only: the service writes NAME.tmp and renames it when complete.
archive_files() { [[ -d "$OUT" ]] && find "$OUT" -type f ! -name '*.tmp' | sort; }

# step TITLE EXPECT_FILE SIMULATOR SIM-ARGUMENTS... (SIMULATOR: SIM or XN)
step() {
  local title=$1 expect_file=$2
  local -n sim=$3
  shift 3
  echo
  echo "=== $title"
  local before after new i
  before=$(archive_files)
  if ! "${sim[@]}" "$@"; then
    echo "demo: FAILED: $title"
    failures=$((failures + 1))
    return
  fi
  [[ $expect_file == yes ]] || return
  # The file is written as the transfer ends; give the service a moment.
  for ((i = 0; i < 100; i++)); do
    after=$(archive_files)
    new=$(comm -13 <(echo "$before") <(echo "$after") | sed '/^$/d')
    [[ -n $new ]] && break
    sleep 0.1
  done
  if [[ -n $new ]]; then
    echo "$new" | sed 's/^/archived: /'
  else
    echo "demo: FAILED: no archive file appeared under $OUT for: $title"
    failures=$((failures + 1))
  fi
}

step "ASTM result: Sysmex XN-550 hemogram of sample 1001 (a comment record longer than 240 characters goes in two frames)" \
  yes XN "$MSG/hematology-xn550.astm"
step "ASTM host query from the XN-550 for sample 1001 (the LIS holds its order)" \
  no XN --mode astm --model XN-550 --query 1001
step "ASTM host query from the XN-550 for sample 9999 (no such order)" \
  no XN --mode astm --model XN-550 --query 9999
step "HL7 result: Mindray BC-5380 hemogram (ORU^R01) of sample 1005" \
  yes SIM "$MSG/hemogram-bc5380.hl7"
step "HL7 query (QRY^Q02) from the BC-5380 for sample 1001" \
  no SIM --mode hl7 --application BC-5380 --model Mindray --query 1001
step "JSON result: Diagno Icounter document for sample 1001 (ends with a lone EOT)" \
  yes SIM "$MSG/icounter.json"

echo
if ((failures)); then
  echo "demo: $failures step(s) FAILED; see the service log $RUN_DIR/Logs/Redurozozi.txt"
  exit 1
fi
echo "demo: all steps went as expected. Archive files are under $OUT/"
