#!/usr/bin/env bash
# start|stop a Firebird server on 127.0.0.1 for the remote-database tests.
set -euo pipefail
echo "firebird-server.sh: $1 (not built yet)"
