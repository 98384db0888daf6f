#!/usr/bin/env bash
# Smoke test of the Windows build under Wine, in a temporary Wine prefix and
# folder: the .exe started from a console with a configuration, the Linux
# analyzer simulator plays an ASTM E1381 session, an HL7 ORU^R01 and a JSON
# document over 127.0.0.1 (it checks every reply byte for byte), then the
# archive files, the log lines and the stop by Ctrl-C are checked; the XN-550
# is also configured on COM7, which the Wine prefix maps to one end of a socat
# pseudo-terminal pair, and plays one session through it. Then the
# service control manager: --install, sc query, sc start, a message, sc stop,
# --uninstall. Then the installer, silently (/S): into Program Files beside a
# configuration already there (kept), the service registered and started, a
# message, the installer again (an upgrade: the service stopped and started,
# nothing lost), the uninstaller (the service stopped and removed; the
# configuration, logs, spool and output folder kept), and a fresh installation
# elsewhere that writes the starting configuration. A step Wine's control
# manager cannot do prints "SKIP: ..." and the test goes on.
#
#   bash scripts/wine-smoke.sh [EXE [SIMULATOR [SETUP]]]
#
# Defaults: build-win/kv_redurozozi.exe and build-win/kv_redurozozi-setup.exe
# (scripts/build-windows.sh) and build/analyzer-sim. KV_WINE_KEEP=1 keeps the
# temporary folder.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
EXE=$(realpath "${1:-build-win/kv_redurozozi.exe}")
SIM=$(realpath "${2:-build/analyzer-sim}")
SETUP=$(realpath "${3:-build-win/kv_redurozozi-setup.exe}")
MSG=$ROOT/demo/messages

for f in "$EXE" "$SIM" "$SETUP"; do
  [[ -x $f || -f $f ]] || { echo "wine-smoke: $f is missing" >&2; exit 1; }
done
command -v wine >/dev/null || { echo "wine-smoke: wine is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }

TMP=$(mktemp -d /tmp/kv-wine-smoke.XXXXXX)
export WINEPREFIX=$TMP/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko prompts
RUN=$TMP/run
LOG=$RUN/Logs/Redurozozi.txt
failures=0
svc_pid=

socat_pid=

cleanup() {
  [[ -n $svc_pid ]] && kill -KILL "$svc_pid" 2>/dev/null
  [[ -n $socat_pid ]] && kill "$socat_pid" 2>/dev/null
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
# wait_file PATH: true once the archive file is there (it is written behind the acknowledgement).
wait_file() {
  local i
  for ((i = 0; i < 50; i++)); do
    [[ -f $1 ]] && return 0
    sleep 0.2
  done
  return 1
}

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

# COM7 in this prefix is one end of a pseudo-terminal pair: Wine opens a COM
# port through the device its dosdevices link names.
COM_KEY=""
if command -v socat >/dev/null; then
  socat "pty,raw,echo=0,link=$TMP/tty-service" "pty,raw,echo=0,link=$TMP/tty-analyzer" &
  socat_pid=$!
  for ((i = 0; i < 100; i++)); do [[ -e $TMP/tty-service && -e $TMP/tty-analyzer ]] && break; sleep 0.05; done
  ln -sfn "$TMP/tty-service" "$WINEPREFIX/dosdevices/com7"
  COM_KEY=', "portaSerial": "COM7"'
fi

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
    { "aplicacao": "XN-550", "modelo": "XN-550", "nomeTevarin": "XN-550", "exames": []$COM_KEY },
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

# The same XN-550 session over COM7: a second archive file in XN-550/.
if [[ -n $COM_KEY ]]; then
  expect_log "** Nova conex"$'\xc3\xa3'"o: serial:COM7**"
  if "$SIM" --serial "$TMP/tty-analyzer" --timeout 20 --quiet "$MSG/hematology-xn550.astm"; then
    ok "ASTM E1381 session over COM7"
  else
    fail "ASTM E1381 session over COM7"
  fi
  expect_log "Nova mensagem: [serial:COM7]"
  for ((i = 0; i < 50; i++)); do
    [[ $(find "$RUN/saida/XN-550" -type f ! -name '*.tmp' | wc -l) -eq 2 ]] && break
    sleep 0.2
  done
  n=$(find "$RUN/saida/XN-550" -type f ! -name '*.tmp' | wc -l)
  [[ $n -eq 2 ]] && ok "archived from COM7" || fail "$n files in XN-550/ after the COM7 session (2 expected)"
else
  echo "SKIP: COM7 because socat is missing (bash scripts/setup.sh installs it)"
fi

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

echo "== installer (silent)"
PF="$WINEPREFIX/drive_c/Program Files/Tevarin/Redurozozi"
WIN_PF='C:\Program Files\Tevarin\Redurozozi'
UNINST_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KVRedurozozi'
LOG=$PF/Logs/Redurozozi.txt
PORT=$(free_port)
setup() { timeout 180 wine "$SETUP" /S "$@" >/dev/null 2>&1; }
# uninstall FOLDER WINDOWS_FOLDER: the uninstaller starts a copy of itself and
# returns at once; it is done when it has deleted itself.
uninstall() {
  local i
  timeout 60 wine "$2\\uninstall.exe" /S >/dev/null 2>&1 || return 1
  for ((i = 0; i < 300; i++)); do
    [[ -e $1/uninstall.exe ]] || return 0
    sleep 0.2
  done
  return 1
}
count_log() { log_text | grep -c -F -- "$1"; }
# wait_count TEXT N SECONDS: true once TEXT stands in the log at least N times.
wait_count() {
  local i
  for ((i = 0; i < $3 * 5; i++)); do
    (($(count_log "$1") >= $2)) && return 0
    sleep 0.2
  done
  return 1
}
archive_sums() { (cd "$PF/saida" && find . -type f -print0 | xargs -0r sha256sum | LC_ALL=C sort); }

# The lab's configuration is there before the installer runs: it must stay.
mkdir -p "$PF"
cat >"$PF/kv_redurozozi.json" <<EOF
{
  "porta": $PORT,
  "portaStatus": 0,
  "pastaSaida": "C:\\\\Program Files\\\\Tevarin\\\\Redurozozi\\\\saida\\\\",
  "analisadores": [
    { "aplicacao": "XN-550", "modelo": "XN-550", "nomeTevarin": "XN-550", "exames": [] },
    { "aplicacao": "BC-5380", "modelo": "Mindray", "nomeTevarin": "BC-5380", "exames": [] }
  ]
}
EOF
config_sum=$(sha256sum <"$PF/kv_redurozozi.json")
config_kept() { [[ $(sha256sum <"$PF/kv_redurozozi.json") == "$config_sum" ]]; }
istart=$SECONDS
if setup; then ok "setup /S into $WIN_PF"; else fail "setup /S: exit status $?"; fi
echo "install took $((SECONDS - istart)) s"
for f in kv_redurozozi.exe kv_redurozozi.example.json uninstall.exe; do
  if [[ -f $PF/$f ]]; then ok "installed $f"; else fail "$f missing"; fi
done
if config_kept; then ok "existing configuration kept"; else fail "the configuration was changed"; fi
reg=$(timeout 60 wine reg query "$UNINST_KEY" 2>/dev/null | tr -d '\r')
if grep -qF "UninstallString    REG_SZ    \"$WIN_PF\\uninstall.exe\"" <<<"$reg" &&
  grep -qF "QuietUninstallString    REG_SZ    \"$WIN_PF\\uninstall.exe\" /S" <<<"$reg" &&
  grep -qF "InstallLocation    REG_SZ    $WIN_PF" <<<"$reg"; then
  ok "uninstaller registered"
else
  fail "uninstaller registration: $reg"
fi
if state_is RUNNING 60 && wait_count "Servidor ativo e ouvindo porta $PORT" 1 30; then
  ok "service registered by --install and started: listening on $PORT"
else
  fail "the installed service is not running"
fi
if wait_count "** SERVI"$'\xc3\x87'"O INSTALADO COM SUCESSO!" 1 1; then ok "install run logged"; else fail "no install line"; fi
if sim "$MSG/hemogram-bc5380.hl7" && wait_file "$PF/saida/Mindray/1005.hl7"; then
  ok "HL7 message archived by the installed service"
else
  fail "HL7 message through the installed service"
fi
# The file is seconds old: the import alarm (30 minutes) must stay quiet. The
# folders are looked at every 2 seconds.
sleep 5
if (($(count_log "Alerta: arquivo aguardando importa") == 0)); then
  ok "a fresh archive file raises no import alarm"
else
  fail "import alarm for a file seconds old"
fi

stops=$(count_log "Finalizando!")
listens=$(count_log "Servidor ativo e ouvindo porta $PORT")
archives=$(archive_sums)
istart=$SECONDS
if setup; then ok "setup /S again (upgrade)"; else fail "upgrade: exit status $?"; fi
echo "upgrade took $((SECONDS - istart)) s"
if (($(count_log "Finalizando!") > stops)) && wait_count "Servidor ativo e ouvindo porta $PORT" $((listens + 1)) 30 &&
  state_is RUNNING 30; then
  ok "the upgrade stopped the service and started it again"
else
  fail "upgrade: no stop and new start"
fi
if config_kept; then ok "configuration kept by the upgrade"; else fail "the upgrade changed the configuration"; fi
if [[ $(archive_sums) == "$archives" ]]; then ok "archive files kept"; else fail "archive files changed"; fi
if sim "$MSG/hematology-xn550.astm" && wait_file "$PF/saida/XN-550/1001.astm"; then
  ok "ASTM message archived after the upgrade"
else
  fail "ASTM message after the upgrade"
fi

stops=$(count_log "Finalizando!")
istart=$SECONDS
if uninstall "$PF" "$WIN_PF"; then ok "uninstall.exe /S"; else fail "uninstall.exe /S did not finish"; fi
echo "uninstall took $((SECONDS - istart)) s"
if (($(count_log "Finalizando!") > stops)); then ok "uninstall stopped the service"; else fail "uninstall: no stop lines"; fi
if ! query | grep "SERVICE_NAME: KVRedurozozi" >/dev/null; then ok "service removed"; else fail "service still registered"; fi
if [[ ! -e $PF/kv_redurozozi.exe && ! -e $PF/kv_redurozozi.example.json ]] &&
  ! timeout 60 wine reg query "$UNINST_KEY" >/dev/null 2>&1; then
  ok "executable, example and the uninstaller's registration removed"
else
  fail "uninstall left the program behind"
fi
if config_kept && [[ -s $LOG && -d $PF/spool && -f $PF/saida/Mindray/1005.hl7 && -f $PF/saida/XN-550/1001.astm ]]; then
  ok "configuration, logs, spool and output folder kept"
else
  fail "uninstall removed data"
fi

# A fresh installation elsewhere (a blank and an accent in the folder's name)
# writes the starting configuration. It runs on the default ports: only when
# they are free.
busy=
for p in 6000 6080; do (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && busy+=" $p"; done
if [[ -n $busy ]]; then
  step_skip "the starting configuration" "the default ports are in use here:$busy"
else
  FRESH="$WINEPREFIX/drive_c/Tevarin Teste/Laboratório"
  LOG=$FRESH/Logs/Redurozozi.txt
  # /D= comes last and unquoted: Wine joins the two words with a blank.
  if setup '/D=C:\Tevarin' 'Teste\Laboratório'; then ok "setup /S /D=C:\\Tevarin Teste\\Laboratório"; else fail "fresh setup: exit status $?"; fi
  config=$(iconv -f UTF-16 -t UTF-8 "$FRESH/kv_redurozozi.json" 2>/dev/null)
  if [[ $(head -c2 "$FRESH/kv_redurozozi.json" | od -An -tx1) == " ff fe" ]] &&
    grep -qF '"pastaSaida": "C:\\Tevarin Teste\\Laboratório\\saida\\"' <<<"$config" &&
    python3 -m json.tool <<<"$config" >/dev/null; then
    ok "starting configuration written (UTF-16), its output folder in the chosen folder"
  else
    fail "starting configuration: $config"
  fi
  if state_is RUNNING 60 && wait_count "Servidor ativo e ouvindo porta 6000" 1 30 &&
    wait_count 'Pasta destino de arquivos: C:\Tevarin Teste\Laboratório\saida\' 1 5; then
    ok "the service runs on the starting configuration"
  else
    fail "the service on the starting configuration"
  fi
  if uninstall "$FRESH" 'C:\Tevarin Teste\Laboratório'; then ok "uninstalled"; else fail "uninstall of the fresh installation"; fi
fi

echo "== Wine part took $((SECONDS - start)) s"
if ((failures)); then
  echo "wine-smoke: $failures check(s) FAILED; log: $LOG (KV_WINE_KEEP=1 keeps it)"
  exit 1
fi
echo "wine-smoke: OK"
