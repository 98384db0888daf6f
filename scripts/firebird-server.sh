#!/usr/bin/env bash
# start|stop a Firebird server on 127.0.0.1 for the remote-database tests.
#
# Runs Debian's /usr/sbin/firebird (package firebird3.0-server; scripts/setup.sh
# --with-server installs it) as the `firebird` user, with a private
# configuration root (FIREBIRD=...) whose firebird.conf binds 127.0.0.1 and
# the port KV_FB_PORT (default 3050). The SYSDBA password is the one Debian
# keeps in /etc/firebird/3.0/SYSDBA.password. `stop` ends the server it started,
# by its process id. When a server that this script did not start already
# answers on the port (Debian's firebird3.0.service on a systemd host), that
# server is used and left running: a second server could not share its
# security database anyway.
set -euo pipefail

PORT=${KV_FB_PORT:-3050}
STATE=${KV_FB_STATE_DIR:-/tmp/kv-firebird-server}
PIDFILE=$STATE/firebird.pid
SERVER=/usr/sbin/firebird

if [[ $(id -u) -ne 0 ]]; then
  exec sudo --preserve-env=KV_FB_PORT,KV_FB_STATE_DIR "$0" "$@"
fi

port_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }

# True while the process exists and is not a zombie (an exited server may
# stay unreaped when its parent was the shell that started it).
alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n $state && $state != Z ]]
}

listener_pid() {
  ss -ltnpH "sport = :$PORT" 2>/dev/null | sed -n 's/.*"firebird",pid=\([0-9]*\).*/\1/p' | head -n1
}

engine_root() {
  local d
  for d in /usr/lib/*/firebird/3.0; do
    [[ -f $d/firebird.msg ]] && { echo "$d"; return; }
  done
  echo "firebird-server.sh: Firebird 3.0 files not found" >&2
  exit 1
}

# A configuration root for this server: everything links to the installed
# files except firebird.conf (bind address and port) and the character set
# module, which the engine only accepts as real files in its own root.
make_root() {
  local src root=$STATE/root
  src=$(engine_root)
  rm -rf "$root"
  mkdir -p "$STATE"
  cp -rs "$src" "$root"
  rm -rf "$root/include" "$root/intl" "$root/firebird.conf"
  mkdir "$root/intl"
  cp -L "$src"/intl/* "$root/intl/"
  grep -vE '^[[:space:]]*(RemoteBindAddress|RemoteServicePort)[[:space:]]*=' "$src/firebird.conf" >"$root/firebird.conf"
  printf '\n# kv_redurozozi tests: local connections only\nRemoteBindAddress = 127.0.0.1\nRemoteServicePort = %s\n' \
    "$PORT" >>"$root/firebird.conf"
  chmod -R a+rX "$STATE"
}

start() {
  if [[ ! -x $SERVER ]] || ! id firebird >/dev/null 2>&1; then
    echo "firebird-server.sh: $SERVER missing; run scripts/setup.sh --with-server" >&2
    exit 1
  fi
  if [[ -f $PIDFILE ]]; then
    local old
    old=$(cat "$PIDFILE")
    if [[ $old == external ]] || alive "$old"; then
      echo "firebird-server.sh: already running ($old)"
      return
    fi
    rm -f "$PIDFILE"
  fi
  mkdir -p "$STATE"
  if port_answers; then
    echo "firebird-server.sh: a server already answers on 127.0.0.1:$PORT (not started here); using it"
    echo external >"$PIDFILE"
    return
  fi
  make_root
  FIREBIRD=$STATE/root setsid setpriv --reuid=firebird --regid=firebird --init-groups \
    "$SERVER" </dev/null >>"$STATE/firebird.out" 2>&1 &
  local launched=$! pid="" i
  for ((i = 0; i < 150; i++)); do
    if port_answers; then
      pid=$(listener_pid)
      [[ -n $pid ]] && break
    fi
    if ! alive "$launched" && [[ -z $(listener_pid) ]]; then
      echo "firebird-server.sh: the server exited at start; see $STATE/firebird.out and /var/log/firebird/" >&2
      exit 1
    fi
    sleep 0.1
  done
  if [[ -z $pid ]]; then
    echo "firebird-server.sh: no answer on 127.0.0.1:$PORT after 15 s" >&2
    alive "$launched" && kill -KILL "$launched" 2>/dev/null || true
    exit 1
  fi
  echo "$pid" >"$PIDFILE"
  echo "firebird-server.sh: started pid $pid on 127.0.0.1:$PORT"
}

stop() {
  [[ -f $PIDFILE ]] || { echo "firebird-server.sh: not running"; return; }
  local pid i
  pid=$(cat "$PIDFILE")
  rm -f "$PIDFILE"
  if [[ $pid == external ]]; then
    echo "firebird-server.sh: leaving the server that was already running"
    return
  fi
  alive "$pid" || { echo "firebird-server.sh: pid $pid already gone"; return; }
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    alive "$pid" || break
    sleep 0.1
  done
  if alive "$pid"; then
    echo "firebird-server.sh: pid $pid ignored SIGTERM for 10 s; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
      alive "$pid" || break
      sleep 0.1
    done
  fi
  echo "firebird-server.sh: stopped pid $pid"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
