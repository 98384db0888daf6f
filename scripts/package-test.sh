#!/usr/bin/env bash
# The Debian package installed for real on this machine, as a lab's IT would:
# install, the service run as its user from the unit's own command line, the
# demo messages archived, an upgrade to a rebuilt package of a higher version
# with nothing lost, then remove and purge, each checked for what it leaves.
#
#   bash scripts/package-test.sh
#
# Needs root (CI runs as root); otherwise it says so and skips. systemd is not
# the init process here, so the maintainer scripts cannot start or stop the
# service: the test plays systemd's part (it starts the unit's ExecStart as its
# User= and stops it with SIGTERM where systemd would) and checks the links
# that enable the unit. The service listens on ports of its own (no LIS). The
# machine is left as found: the package is purged and the output folder removed
# at the end, also on failure. A machine that already has any of it is refused.
# Uses build/analyzer-sim (KV_BUILD_DIR); builds the packages with scripts/package.sh.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${KV_BUILD_DIR:-$ROOT/build}
PKG=kv-redurozozi
APP=/opt/kvredurozozi
OUT_PARENT=/var/opt/kvredurozozi
OUT=$OUT_PARENT/saida
SVC=kvredurozozi
UNIT=/lib/systemd/system/kvredurozozi.service
WANTS=/etc/systemd/system/multi-user.target.wants/kvredurozozi.service
MASK=/etc/systemd/system/kvredurozozi.service
LOG=$APP/Logs/Redurozozi.txt
NEXT_SUFFIX=+pkgtest1

if [[ $(id -u) -ne 0 ]]; then
  echo "package-test: SKIP: installing a Debian package needs root (CI runs as root)"
  exit 0
fi
[[ -x $BUILD_DIR/analyzer-sim ]] || { echo "package-test: $BUILD_DIR/analyzer-sim is missing (build first)" >&2; exit 1; }

package_state() { dpkg-query -W -f='${db:Status-Abbrev}' "$PKG" 2>/dev/null | tr -d ' '; }
package_gone() { local s; s=$(package_state); [[ -z $s || $s == un ]]; }
found=()
package_gone || found+=("the package $PKG ($(package_state))")
for path in "$APP" "$OUT_PARENT" "$MASK" "$WANTS" "$UNIT"; do [[ -e $path || -L $path ]] && found+=("$path"); done
getent passwd "$SVC" >/dev/null && found+=("the user $SVC")
getent group "$SVC" >/dev/null && found+=("the group $SVC")
if ((${#found[@]})); then
  echo "package-test: this machine already has ${found[*]}; not touching it" >&2
  exit 1
fi

TMP=$(mktemp -d /tmp/kv-package-test.XXXXXX)
chmod 0755 "$TMP"  # the service's user writes a unit into it
failures=0
svc_pid=
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
apt_get() {  # another engineer's apt run may hold the lock for a while
  DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300 "$@" >>"$TMP/apt.txt" 2>&1
}

stop_service() {  # what systemd's stop does: SIGTERM, then wait
  [[ -n $svc_pid ]] || return 0
  kill -TERM "$svc_pid" 2>/dev/null
  local i
  for ((i = 0; i < 150; i++)); do
    kill -0 "$svc_pid" 2>/dev/null || break
    sleep 0.2
  done
  if kill -0 "$svc_pid" 2>/dev/null; then
    kill -KILL "$svc_pid"
    wait "$svc_pid" 2>/dev/null
    svc_pid=
    return 1
  fi
  wait "$svc_pid"
  local status=$?
  svc_pid=
  return $status
}

cleanup() {
  stop_service
  if ! package_gone; then
    apt_get purge "$PKG" || dpkg --purge "$PKG" >>"$TMP/apt.txt" 2>&1
  fi
  rm -rf "$APP" "$OUT_PARENT"
  getent passwd "$SVC" >/dev/null && userdel "$SVC"
  getent group "$SVC" >/dev/null && groupdel "$SVC"
  rm -f "$MASK" "$WANTS" /var/lib/systemd/deb-systemd-helper-enabled/kvredurozozi.service.dsh-also \
    /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/kvredurozozi.service \
    /var/lib/systemd/deb-systemd-helper-masked/kvredurozozi.service
  rm -rf "$TMP"
}
trap cleanup EXIT

free_port() {
  local p
  for ((;;)); do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}
log_has() { iconv -f WINDOWS-1252 -t UTF-8 "$LOG" 2>/dev/null | grep -c -F -- "$1"; }
# wait_log_count TEXT N SECONDS: true once TEXT stands in the log N times.
wait_log_count() {
  local i
  for ((i = 0; i < $3 * 5; i++)); do
    (($(log_has "$1") >= $2)) && return 0
    sleep 0.2
  done
  return 1
}
owned_by_service() { [[ $(stat -c %U:%G "$1" 2>/dev/null) == "$SVC:$SVC" ]]; }
archive_list() { (cd "$OUT" && find . -type f -print0 | xargs -0r sha256sum | LC_ALL=C sort); }
# True when every archive file listed in $1 is still there, unchanged.
archives_kept() { [[ -z $(LC_ALL=C comm -23 <(echo "$1") <(archive_list)) ]]; }
# The status page's text once it answers with the version line.
status_page() {
  local i page
  for ((i = 0; i < 50; i++)); do
    page=$(curl -s --max-time 5 "http://127.0.0.1:$STATUS_PORT/")
    grep -q "Vers" <<<"$page" && break
    sleep 0.2
  done
  echo "$page"
}

# Starts what the installed unit says, as the unit's user, the way systemd
# would: working folder /, a bare environment, umask 022.
start_service() {
  local exec_start user
  exec_start=$(sed -n 's/^ExecStart=//p' "$UNIT")
  user=$(sed -n 's/^User=//p' "$UNIT")
  [[ -n $exec_start && -n $user ]] || { fail "the unit has no ExecStart or no User"; return 1; }
  local -a command
  read -ra command <<<"$exec_start"
  (cd / && umask 022 && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    setpriv --reuid="$user" --regid="$user" --init-groups -- "${command[@]}") >>"$TMP/journal.txt" 2>&1 &
  svc_pid=$!
}

started=$SECONDS
echo "== packages: $PKG and a rebuilt one with version suffix $NEXT_SUFFIX"
DEB1=$(bash scripts/package.sh 2>&1 | tee "$TMP/package1.txt" | tail -1)
DEB2=$(KV_VERSION_SUFFIX=$NEXT_SUFFIX bash scripts/package.sh 2>&1 | tee "$TMP/package2.txt" | tail -1)
for deb in "$DEB1" "$DEB2"; do
  [[ -f $deb ]] || { echo "package-test: scripts/package.sh failed:"; tail -n 30 "$TMP"/package*.txt; exit 1; }
done
# The packages are made from the same tree: build both, then install the first.
cp "$DEB1" "$DEB2" "$TMP/"
DEB1=$TMP/$(basename "$DEB1")
DEB2=$TMP/$(basename "$DEB2")
V1=$(dpkg-deb -f "$DEB1" Version)
V2=$(dpkg-deb -f "$DEB2" Version)
check "version $V2 is above $V1" dpkg --compare-versions "$V2" gt "$V1"
echo "packages built in $((SECONDS - started)) s"

echo "== install $(basename "$DEB1")"
t=$SECONDS
check "apt-get install" apt_get install "$DEB1"
echo "install took $((SECONDS - t)) s"
check "package installed" [ "$(package_state)" = ii ]
check "user and group $SVC (system user, no login)" \
  bash -c "getent passwd $SVC | grep -q ':/nonexistent:/usr/sbin/nologin$' && getent group $SVC >/dev/null"
check "the executable, root's" [ "$(stat -c %U:%a "$APP/kv_redurozozi")" = root:755 ]
for dir in Logs temp spool; do check "$dir/ owned by $SVC" owned_by_service "$APP/$dir"; done
check "output folder $OUT owned by $SVC" owned_by_service "$OUT"
check "starting configuration: the template, readable by the service only" \
  bash -c "cmp -s $APP/kv_redurozozi.json /usr/share/$PKG/kv_redurozozi.json &&
           [ \"\$(stat -c %U:%G:%a $APP/kv_redurozozi.json)\" = root:$SVC:640 ] &&
           grep -q '\"pastaSaida\": \"$OUT/\"' $APP/kv_redurozozi.json"
check "example configuration beside it" test -f "$APP/kv_redurozozi.example.json"
for json in "$APP/kv_redurozozi.json" "$APP/kv_redurozozi.example.json"; do
  check "$(basename "$json") is JSON" python3 -m json.tool "$json" >/dev/null
done
# The unit is what the installed executable's own install run writes with --user.
mkdir -m 0777 "$TMP/units"
setpriv --reuid="$SVC" --regid="$SVC" --init-groups -- "$APP/kv_redurozozi" --install --user "$SVC" \
  --unit-dir "$TMP/units" >/dev/null 2>&1
check "the unit is the text of \"kv_redurozozi --install --user $SVC\"" cmp -s "$UNIT" "$TMP/units/kvredurozozi.service"
check "the unit runs $APP/kv_redurozozi as $SVC" \
  bash -c "grep -qx 'ExecStart=$APP/kv_redurozozi' $UNIT && grep -qx 'User=$SVC' $UNIT"
check "unit enabled (multi-user.target.wants)" [ "$(readlink "$WANTS")" = "$UNIT" ]
check "systemctl is-enabled: enabled" [ "$(systemctl is-enabled kvredurozozi.service 2>/dev/null)" = enabled ]
rm -f "$APP/Logs/Redurozozi.txt"  # the install run's lines, written only for the comparison above

echo "== the service as its user, on its own ports"
PORT=$(free_port)
STATUS_PORT=$(free_port)
# What the lab's admin does: the configuration edited in place (demo analyzers, no LIS).
sed -e "s|@RUN_DIR@/saida/|$OUT/|" -e 's|"database": *"[^"]*"|"database": ""|' \
  -e "s|\"porta\": *[0-9]*|\"porta\": $PORT|" -e "s|\"portaStatus\": *[0-9]*|\"portaStatus\": $STATUS_PORT|" \
  demo/kv_redurozozi.json >"$APP/kv_redurozozi.json"
start_service
check "listening on $PORT" wait_log_count "Servidor ativo e ouvindo porta $PORT" 1 30
check "the log belongs to $SVC" owned_by_service "$LOG"
check "the process runs as $SVC" [ "$(ps -o user= -p "$svc_pid" 2>/dev/null)" = "$SVC" ]
t=$SECONDS
if KV_PORT=$PORT KV_RUN_DIR=$OUT_PARENT KV_BUILD_DIR=$BUILD_DIR bash scripts/demo.sh >"$TMP/demo1.txt" 2>&1; then
  ok "demo messages played ($((SECONDS - t)) s)"
else
  fail "demo messages: $(grep -a FAILED "$TMP/demo1.txt" | head -3)"
fi
for f in XN-550/1001.astm Mindray/1005.hl7 Icounter/1001.json; do
  check "archived $f, owned by $SVC" owned_by_service "$OUT/$f"
done
check "status page shows version $V1" grep -qF "$V1 " <<<"$(status_page)"

echo "== upgrade to $V2 while it runs (then restarted, as the postinst would)"
config_sum=$(sha256sum "$APP/kv_redurozozi.json")
archives_before=$(archive_list)
lines_before=$(wc -l <"$LOG")
echo "a result message not yet delivered" >"$APP/spool/999999.entry.test"
chown "$SVC:$SVC" "$APP/spool/999999.entry.test"
t=$SECONDS
check "apt-get install (upgrade)" apt_get install "$DEB2"
echo "upgrade took $((SECONDS - t)) s"
check "package at $V2" [ "$(dpkg-query -W -f='${Version}' "$PKG")" = "$V2" ]
check "configuration unchanged" sha256sum --status -c <<<"$config_sum"
check "archive files unchanged" [ "$(archive_list)" = "$archives_before" ]
check "spool kept" test -f "$APP/spool/999999.entry.test"
check "log kept ($lines_before lines)" [ "$(wc -l <"$LOG")" -ge "$lines_before" ]
check "still enabled" [ "$(readlink "$WANTS")" = "$UNIT" ]
check "stopped cleanly (status 0)" stop_service
rm -f "$APP/spool/999999.entry.test"
start_service
check "the new version listens" wait_log_count "Servidor ativo e ouvindo porta $PORT" 2 30
check "status page shows version $V2" grep -qF "$V2 " <<<"$(status_page)"
saved=$(log_has "Item salvo em $OUT/Icounter/")
if "$BUILD_DIR/analyzer-sim" --port "$PORT" --timeout 15 --quiet demo/messages/icounter.json >>"$TMP/demo2.txt" 2>&1 &&
  wait_log_count "Item salvo em $OUT/Icounter/" $((saved + 1)) 10 && [ "$(find "$OUT/Icounter" -type f | wc -l)" -eq 2 ]; then
  ok "a message after the upgrade archived beside the old ones"
else
  fail "no archive after the upgrade"
fi
check "the old archive files are all there" archives_kept "$archives_before"
check "stopped cleanly (status 0)" stop_service

echo "== remove"
t=$SECONDS
check "apt-get remove" apt_get remove "$PKG"
echo "remove took $((SECONDS - t)) s"
check "package: configuration files only (rc)" [ "$(package_state)" = rc ]
check "executable and unit gone" bash -c "[ ! -e $APP/kv_redurozozi ] && [ ! -e $UNIT ]"
check "unit masked (cannot start)" [ "$(readlink "$MASK")" = /dev/null ]
check "configuration, logs, spool and output kept" \
  bash -c "sha256sum --status -c <<<'$config_sum' && [ -s $LOG ] && [ -d $APP/spool ] && [ -f $OUT/XN-550/1001.astm ]"
check "user kept" bash -c "getent passwd $SVC >/dev/null"

echo "== purge (a message still waits in spool/)"
echo "a result message not yet delivered" >"$APP/spool/999999.entry.test"
t=$SECONDS
check "apt-get purge" apt_get purge "$PKG"
echo "purge took $((SECONDS - t)) s"
check "package gone" package_gone
check "configuration and logs gone" bash -c "[ ! -e $APP/kv_redurozozi.json ] && [ ! -e $APP/Logs ] && [ ! -e $APP/temp ]"
check "spool holding a message kept, and said so" \
  bash -c "[ -f $APP/spool/999999.entry.test ] && grep -q 'spool/ still holds 1 file' $TMP/apt.txt"
check "user and group gone" bash -c "! getent passwd $SVC >/dev/null && ! getent group $SVC >/dev/null"
check "output folder kept" archives_kept "$archives_before"
check "unit links and mask gone" bash -c "[ ! -e $MASK ] && [ ! -L $MASK ] && [ ! -L $WANTS ]"
rm -rf "$APP/spool"
rmdir "$APP"
check "nothing else left under $APP" [ ! -e "$APP" ]

echo "== package test took $((SECONDS - started)) s"
if ((failures)); then
  echo "package-test: $failures check(s) FAILED; apt's output:"
  tail -40 "$TMP/apt.txt"
  exit 1
fi
echo "package-test: OK"
