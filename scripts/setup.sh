#!/usr/bin/env bash
# Installs the Debian packages the project needs. Quick when all is there.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config
  libasio-dev nlohmann-json3-dev
  firebird-dev libfbclient2 firebird3.0-server-core firebird3.0-utils
  libgtest-dev
  # Pseudo-terminal pairs that stand in for serial cables in the link tests.
  socat
  # The status tests' HTTP client, browser and metrics checker.
  libcpp-httplib-dev chromium prometheus
  # The fuzz targets (scripts/fuzz.sh): clang, and libFuzzer with the sanitizer runtimes.
  clang libclang-rt-dev
  # The Windows build (scripts/build-windows.sh) and its smoke test under Wine (scripts/wine-smoke.sh).
  g++-mingw-w64-x86-64 mingw-w64 wine wine64 ccache
  # The Debian package (scripts/package.sh) and the Windows installer.
  dpkg-dev lintian nsis
)
# The server package is only needed to test the remote (server) database path;
# Node.js and npm only for the peer that bench/run measures the service beside.
for arg in "$@"; do
  case "$arg" in
    --with-server) PACKAGES+=(firebird3.0-server) ;;
    --with-bench)
      PACKAGES+=(nodejs)
      command -v npm >/dev/null || PACKAGES+=(npm)
      ;;
  esac
done

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
