#!/bin/bash
# Installs the build and test tools a fresh Debian machine may lack.
# Usage: scripts/deps.sh [extra-package...]
set -euo pipefail
need=()
for pkg in cmake g++ make pkg-config libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev python3 jq locales tzdata librsvg2-bin abigail-tools mandoc bash-completion "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
