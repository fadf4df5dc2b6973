#!/bin/bash
# Installs the build and test tools a fresh Debian machine may lack.
# Usage: scripts/deps.sh [extra-package...]
# TANDEL_NO_APT=1 installs nothing (a developer's own machine): the
# missing Debian packages are named and the calling script goes on.
set -euo pipefail
need=()
for pkg in cmake g++ make pkg-config libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev python3 jq locales tzdata librsvg2-bin abigail-tools mandoc groff-base bash-completion "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
if [ "${TANDEL_NO_APT:-0}" = 1 ]; then
  echo "scripts/deps.sh: not installing (TANDEL_NO_APT=1), missing as Debian packages: ${need[*]}" >&2
  exit 0
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
