#!/usr/bin/env bash
# Smoke test of the Windows build under Wine, in a temporary Wine prefix and
# folder: the .exe started from a console with a configuration, the Linux
# analyzer simulator plays an ASTM E1381 session, an HL7 ORU^R01 and a JSON
# document over 127.0.0.1 (it checks every reply byte for byte), then the
# archive files, the log lines and the stop by Ctrl-C are checked. Then the
# service control manager: --install, sc query, sc start, a message, sc stop,
# --uninstall. A step Wine's control manager cannot do prints "SKIP: ..." and
# the test goes on.
#
#   bash scripts/wine-smoke.sh [EXE [SIMULATOR]]
#
# Defaults: build-win/kv_redurozozi.exe (scripts/build-windows.sh) and
# build/analyzer-sim. KV_WINE_KEEP=1 keeps the temporary folder.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
EXE=$(realpath "${1:-build-win/kv_redurozozi.exe}")
SIM=$(realpath "${2:-build/analyzer-sim}")
MSG=$ROOT/demo/messages

for f in "$EXE" "$SIM"; do
  [[ -x $f || -f $f ]] || { echo "wine-smoke: $f is missing" >&2; exit 1; }
done
command -v wine >/dev/null || { echo "wine-smoke: wine is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }

TMP=$(mktemp -d /tmp/kv-wine-smoke.XXXXXX)
export WINEPREFIX=$TMP/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts
RUN=$TMP/run
LOG=$RUN/Logs/Redurozozi.txt
failures=0
svc_pid=

cleanup() {
  [[ -n $svc_pid ]] && kill -KILL "$svc_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  if [[ ${KV_WINE_KEEP:-0} == 1 ]]; then echo "wine-smoke: kept $TMP"; else rm -rf "$TMP"; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
# The log as UTF-8 text.
log_text() { iconv -f WINDOWS-1252 -t UTF-8 "$LOG" 2>/dev/null; }
# wait_log PATTERN SECONDS: true once a log line matches (fixed text).
wait_log() {
  local i
  for ((i = 0; i < $2 * 5; i++)); do
    log_text | grep -F -- "$1" >/dev/null && return 0
    sleep 0.2
  done
  return 1
}
# (grep reads to the end: with pipefail an early exit would fail the pipe.)
expect_log() { if wait_log "$1" 10; then ok "log: $1"; else fail "no log line: $1"; fi; }
# A TCP port nobody listens on.
free_port() {
  local p
  for ((;;)); do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}
sim() { "$SIM" --port "$PORT" --timeout 20 --quiet "$@"; }

echo "== Wine prefix (the first start of Wine takes a while)"
start=$SECONDS
timeout 240 wine wineboot --init >/dev/null 2>&1 || { echo "wine-smoke: wineboot failed"; exit 1; }
# The first session of a new prefix ends up with two control managers (each
# with its own view of the services): the test runs in a fresh session, kept
# for its whole length so that the one control manager keeps running.
timeout 60 wineserver -w
wineserver -p
timeout 120 wine wineboot >/dev/null 2>&1
echo "wine ready in $((SECONDS - start)) s"

mkdir -p "$RUN"
cp "$EXE" "$RUN/KV_Redurozozi.exe"  # mixed case: the configuration is still kv_redurozozi.json
WIN_RUN=$(winepath -w "$RUN" 2>/dev/null)
J=${WIN_RUN//\\/\\\\}  # as a JSON string
PORT=$(free_port)
cat >"$RUN/kv_redurozozi.json" <<EOF
{
  "porta": $PORT,
  "pastaSaida": "$J\\\\saida\\\\",
  "database": "$J\\\\lis.fdb",
  "analisadores": [
    { "aplicacao": "XN-550", "modelo": "XN-550", "nomeTevarin": "XN-550", "exames": [] },
    { "aplicacao": "BC-5380", "modelo": "Mindray", "nomeTevarin": "BC-5380", "exames": [] },
    { "aplicacao": "Icounter", "modelo": "Icounter", "nomeTevarin": "Icounter", "exames": [] }
  ]
}
EOF

echo "== started from a console (port $PORT)"
(cd "$RUN" && exec wine ./KV_Redurozozi.exe >"$TMP/console.txt" 2>&1) &
svc_pid=$!
# Wine's StartServiceCtrlDispatcher waits about 10 s before it says "not started by the control manager".
if wait_log "Servidor ativo e ouvindo porta $PORT" 90; then ok "listening"; else fail "not listening"; fi
expect_log "Carregando configura"$'\xc3\xa7\xc3\xb5'"es de KV_Redurozozi.json"$'\t'"OK"
expect_log "Banco de dados: ERRO [biblioteca cliente do Firebird n"$'\xc3\xa3'"o encontrada: fbclient.dll"
expect_log "Pasta destino de arquivos: $WIN_RUN\\saida\\"

if sim "$MSG/hematology-xn550.astm"; then ok "ASTM E1381 session"; else fail "ASTM E1381 session"; fi
if sim "$MSG/hemogram-bc5380.hl7"; then ok "HL7 ORU^R01 and its ACK^R01"; else fail "HL7 ORU^R01"; fi
if sim "$MSG/icounter.json"; then ok "JSON document"; else fail "JSON document"; fi
wait_log "saida\\Icounter\\1001.json" 10

for t in "ASTM " "HL7 " "Json Diagno "; do expect_log "Protocolo identificado: $t"; done
for f in XN-550\\1001.astm Mindray\\1005.hl7 Icounter\\1001.json; do expect_log "Item salvo em $WIN_RUN\\saida\\$f"; done

# Archive files: CR LF lines, Windows-1252 bytes as received.
crlf() { sed 's/$/\r/' "$1"; }
if cmp -s <(crlf "$MSG/hemogram-bc5380.hl7"; printf '\r\n') "$RUN/saida/Mindray/1005.hl7"; then
  ok "archive Mindray/1005.hl7"
else
  fail "archive Mindray/1005.hl7 differs from the message"
fi
if cmp -s <(crlf "$MSG/icounter.json") "$RUN/saida/Icounter/1001.json"; then
  ok "archive Icounter/1001.json"
else
  fail "archive Icounter/1001.json differs from the document"
fi
astm=$RUN/saida/XN-550/1001.astm
if [[ -f $astm ]]; then
  # Each line: the frame number (1..7, 0, 1, ...), the frame's text, CR LF; together the records as sent.
  numbers=$(cut -c1 "$astm" | tr -d '\n')
  lines=$(wc -l <"$astm")
  want=$(for ((i = 1; i <= lines; i++)); do printf '%d' $((i % 8)); done)
  if [[ $numbers == "$want" ]] && ! grep -qv $'\r$' "$astm" &&
    [[ $(cut -c2- "$astm" | tr -d '\r\n') == "$(tr -d '\r\n' <"$MSG/hematology-xn550.astm")" ]]; then
    ok "archive XN-550/1001.astm ($lines frames)"
  else
    fail "archive XN-550/1001.astm is not the frames as sent"
  fi
else
  fail "archive XN-550/1001.astm missing"
fi
leftovers=$(find "$RUN/saida" -name '*.tmp' | wc -l)
[[ $leftovers -eq 0 ]] && ok "no temporary files left" || fail "$leftovers temporary files left"

# Ctrl-C: Wine turns SIGINT into the console's Ctrl-C event.
kill -INT "$svc_pid"
status=
for ((i = 0; i < 150; i++)); do
  if ! kill -0 "$svc_pid" 2>/dev/null; then
    wait "$svc_pid"
    status=$?
    break
  fi
  sleep 0.2
done
svc_pid=
if [[ $status == 0 ]]; then ok "Ctrl-C stopped it (exit status 0)"; else fail "Ctrl-C: exit status '${status:-still running}'"; fi
expect_log "Finalizando!"

echo "== service control manager"
step_skip() { echo "SKIP: $1 because $2"; }
before=$(log_text | grep -c "Iniciando servi")
if (cd "$RUN" && timeout 60 wine ./KV_Redurozozi.exe --install) >/dev/null 2>&1; then
  ok "--install"
else
  fail "--install"
fi
if log_text | sed -n 1,2p | grep -F "** SERVI"$'\xc3\x87'"O INSTALADO COM SUCESSO!" >/dev/null &&
  [[ $(log_text | grep -c "Iniciando servi") -gt $before ]]; then
  ok "install logged after the start-up header"
else
  fail "install line missing"
fi
query() { timeout 60 wine sc query KVRedurozozi 2>/dev/null | tr -d '\r'; }
# state_is STATE SECONDS
state_is() {
  local i
  for ((i = 0; i < $2 * 2; i++)); do
    query | grep "STATE.*$1" >/dev/null && return 0
    sleep 0.5
  done
  return 1
}
answer=$(query)
if grep "SERVICE_NAME: KVRedurozozi" >/dev/null <<<"$answer"; then ok "sc query knows KVRedurozozi"; else fail "sc query does not know KVRedurozozi: $answer"; fi
# What the control manager keeps: own process (0x10), automatic start (0x2), the display name.
reg=$(timeout 60 wine reg query 'HKLM\System\CurrentControlSet\Services\KVRedurozozi' 2>/dev/null | tr -d '\r')
if grep -q 'Start.*0x2$' <<<"$reg" && grep -q 'Type.*0x10$' <<<"$reg" && grep -q 'DisplayName.*Tevarin (Redurozozi)' <<<"$reg"; then
  ok "registered: own process, automatic start, \"Tevarin (Redurozozi)\""
else
  fail "registration: $reg"
fi

started=$(log_text | grep -c "Servidor ativo e ouvindo porta $PORT")
if ! answer=$(timeout 90 wine sc start KVRedurozozi 2>&1); then
  step_skip "sc start" "Wine's control manager refused it ($(tr -d '\r' <<<"$answer" | tr '\n' ' '))"
elif state_is RUNNING 60; then
  ok "sc start: RUNNING"
  for ((i = 0; i < 300 && $(log_text | grep -c "Servidor ativo e ouvindo porta $PORT") <= started; i++)); do sleep 0.2; done
  if sim "$MSG/hemogram-bc5380.hl7"; then ok "HL7 message to the service run by the control manager"; else fail "HL7 under sc"; fi
  stops=$(log_text | grep -c "Finalizando!")
  if timeout 60 wine sc stop KVRedurozozi >/dev/null 2>&1 && state_is STOPPED 30; then
    ok "sc stop: STOPPED"
    if [[ $(log_text | grep -c "Finalizando!") -gt $stops ]]; then ok "stop lines logged"; else fail "no stop lines after sc stop"; fi
  else
    fail "sc stop"
  fi
else
  fail "sc start: not RUNNING"
fi

# Automatic start: Wine's control manager starts automatic services when it
# starts itself, as Windows does at boot; so the Wine session is restarted.
listens=$(log_text | grep -c "Servidor ativo e ouvindo porta $PORT")
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
wineserver -p
query >/dev/null
for ((i = 0; i < 300 && $(log_text | grep -c "Servidor ativo e ouvindo porta $PORT") <= listens; i++)); do sleep 0.2; done
if [[ $(log_text | grep -c "Servidor ativo e ouvindo porta $PORT") -gt $listens ]] && state_is RUNNING 30; then
  ok "started automatically with the control manager"
  timeout 60 wine sc stop KVRedurozozi >/dev/null 2>&1
  state_is STOPPED 30 || fail "sc stop after the automatic start"
else
  step_skip "the automatic start" "Wine's control manager did not start the service within 60 s of its own start"
fi

if (cd "$RUN" && timeout 60 wine ./KV_Redurozozi.exe --uninstall) >/dev/null 2>&1 && ! query | grep "SERVICE_NAME: KVRedurozozi" >/dev/null; then
  ok "--uninstall removed it"
else
  fail "--uninstall"
fi

echo "== Wine part took $((SECONDS - start)) s"
if ((failures)); then
  echo "wine-smoke: $failures check(s) FAILED; log: $LOG (KV_WINE_KEEP=1 keeps it)"
  exit 1
fi
echo "wine-smoke: OK"
