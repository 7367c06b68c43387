#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running, testing and
# packaging the terminal need; only what is missing, so a second run
# installs nothing. Installing needs root: as root it just installs, as
# another user it says so and asks sudo, and without sudo it says what to
# run as root.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev libzstd-dev
  libgtest-dev googletest
  clang libclang-rt-14-dev
  xvfb xauth fonts-liberation2 fonts-dejavu-core
  libxcb-damage0-dev libxcb-xtest0-dev  # the benchmark watches the screen and types
  # What the package itself needs, and the tools that check it.
  qt6-qpa-plugins qt6-wayland lintian desktop-file-utils man-db
  # A real window manager for the placement test.
  openbox x11-utils
  # The virtual-machine rig (scripts/vmtest.sh): the emulator, the guest's
  # builder and the host side of the checks.
  qemu-system-x86 mmdebstrap e2fsprogs python3
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

echo "== missing packages: ${missing[*]}"
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "   Installing them needs root, and there is no sudo here. As root, run:" >&2
    echo "     apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    echo "   then this command again." >&2
    exit 1
  fi
  echo "   Installing them needs root: asking sudo (it may ask for your password)."
  SUDO=(sudo)
fi
"${SUDO[@]}" apt-get update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
