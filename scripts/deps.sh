#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing the
# terminal need; only what is missing, so a second run installs nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev googletest
  clang libclang-rt-14-dev
  xvfb xauth fonts-liberation2 fonts-dejavu-core
)
if [ "${KVL_DEPS_EXTRA:-}" != "" ]; then
  read -r -a extra <<< "$KVL_DEPS_EXTRA"
  PACKAGES+=("${extra[@]}")
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "== all build and test packages are installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "== installing: ${missing[*]}"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
