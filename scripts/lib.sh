# Sourced by demo.sh and run-demo.sh: what both do before anything else.

# demo_args NAME HELP_LAST "$@": moves to the repository root (ROOT), reads the
# port (PORT) from --port PORT, --port=PORT or KV_PORT (default 6000), and sets
# BUILD_DIR and RUN_DIR from KV_BUILD_DIR and KV_RUN_DIR; --serial sets SERIAL=1
# (the XN-550 on a serial pair). --help prints lines 2
# to HELP_LAST of the calling script's leading comment; NAME starts error lines.
demo_args() {
  local name=$1 help_last=$2
  shift 2
  cd "$(dirname "$0")/.."
  ROOT=$(pwd)
  PORT=${KV_PORT:-6000}
  SERIAL=0
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --port) PORT=${2:?--port needs a value}; shift 2 ;;
      --port=*) PORT=${1#*=}; shift ;;
      --serial) SERIAL=1; shift ;;
      -h|--help) sed -n "2,${help_last}p" "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
      *) echo "$name: unknown argument $1 (try --help)" >&2; exit 1 ;;
    esac
  done
  BUILD_DIR=${KV_BUILD_DIR:-$ROOT/build}
  RUN_DIR=${KV_RUN_DIR:-$ROOT/run}
  # The serial pair's two ends: the service opens one, the simulator the other.
  TTY_SERVICE=$RUN_DIR/tty-service
  TTY_ANALYZER=$RUN_DIR/tty-analyzer
}
