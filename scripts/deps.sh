#!/usr/bin/env bash
# Installs the Debian 12 packages the terminal needs; only what is missing,
# so a second run installs nothing. Without an argument: what building and
# running it need (scripts/run.sh). With --test: also what the tests,
# the package check, the sanitizer and fuzz builds, the window-manager test
# and the virtual-machine rig add (scripts/test.sh, scripts/bench.sh).
# Installing needs root: as root it just installs, as another user it says
# so and asks sudo, and without sudo it says what to run as root.
set -euo pipefail

case "${1:-}" in
  "") WITH_TESTS="" ;;
  --test) WITH_TESTS=yes ;;
  *) echo "usage: bash scripts/deps.sh [--test]" >&2; exit 2 ;;
esac

PACKAGES=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev libzstd-dev
  libxcb1-dev libxcb-shm0-dev  # the console panes draw straight on an X11 display
  # What the program needs to run: the display plugins and the fonts its
  # layout is fitted to (the package depends on the same).
  qt6-qpa-plugins qt6-wayland fonts-liberation2
)
TEST_PACKAGES=(
  libgtest-dev googletest
  clang libclang-rt-14-dev
  xvfb xauth fonts-dejavu-core
  libxcb-damage0-dev libxcb-xtest0-dev  # the benchmark watches the screen and types
  # The tools that check the package.
  lintian desktop-file-utils man-db
  # A real window manager for the placement test.
  openbox x11-utils
  # The virtual-machine rig (scripts/vmtest.sh): the emulator, the guest's
  # builder and the host side of the checks.
  qemu-system-x86 mmdebstrap e2fsprogs python3
)
if [ -n "$WITH_TESTS" ]; then PACKAGES+=("${TEST_PACKAGES[@]}"); fi
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
  if [ -n "$WITH_TESTS" ]; then
    echo "== all packages for building, running and testing are installed"
  else
    echo "== all packages for building and running are installed"
  fi
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
