#!/usr/bin/env bash
# The serial link against Linux's own drivers: boots a minimal Debian 12
# guest under QEMU with two FTDI USB-serial adapters and a 16550 UART whose
# far ends are pseudo-terminals held by the host, runs the program's window
# (built here, tests/vm/vm_guest.cpp) inside it, and checks line settings,
# data both ways, a pulled and re-plugged adapter, permissions,
# ModemManager, another program's port and the modem lines; and a USB CDC
# ACM adapter made inside the guest (dummy_hcd and a configfs ACM gadget)
# whose device end the rig drives, for the cdc_acm driver and modem lines
# that really change. Prints one line per check and "N passed, N failed".
#
#   bash scripts/vmtest.sh            all checks
#   bash scripts/vmtest.sh 2,3        only these
#
# The guest (kernel, initramfs and root file system, about 1 GB) is built
# once with mmdebstrap from Debian's archive and kept in
# ~/.cache/kvlterm-vm/<hash of its package list>/; later runs boot it as it
# is (changes made by a run are thrown away). KVM is used when it works,
# otherwise QEMU emulates (TCG); the verdict is kept beside the guests.
#
# Exit status: 0 all checks passed; 1 a check failed or the rig broke;
# 3 the rig could not run here (the reason is printed in one line).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${KVL_VM_BUILD_DIR:-build}
ONLY=${1:-}
START=$(date +%s)

cannot_run() {
  echo "vmtest: could not run: $*"
  exit 3
}

# What the guest holds: the terminal's run-time libraries (the window test
# program links the same Qt as the program), udev, D-Bus, ModemManager, and
# Debian's kernel with its initramfs.
GUEST_PACKAGES=(
  systemd-sysv udev dbus kmod procps
  libqt6widgets6 libqt6gui6 libqt6core6 libqt6test6 fonts-dejavu-core
  modemmanager
  linux-image-amd64 initramfs-tools
)

QEMU=${KVL_VM_QEMU:-qemu-system-x86_64}
command -v "$QEMU" >/dev/null 2>&1 ||
  cannot_run "no QEMU ($QEMU is missing; bash scripts/deps.sh --test installs qemu-system-x86)"
PYTHON=$(command -v python3 || true)
[ -n "$PYTHON" ] || cannot_run "no python3 (bash scripts/deps.sh --test installs it)"

KEY=$(printf '%s\n' "${GUEST_PACKAGES[@]}" | cat - scripts/vm/build-guest.sh | sha256sum | cut -c1-16)
CACHE_ROOT=${XDG_CACHE_HOME:-$HOME/.cache}/kvlterm-vm
GUEST=$CACHE_ROOT/$KEY
if [ ! -f "$GUEST/root.img" ]; then
  command -v mmdebstrap >/dev/null 2>&1 ||
    cannot_run "no guest in $GUEST and no mmdebstrap to build one (bash scripts/deps.sh --test installs it)"
  [ "$(id -u)" -eq 0 ] || cannot_run "no guest in $GUEST yet, and building one (mmdebstrap) needs root: run this once as root"
  timeout 20 bash -c 'exec 3<>/dev/tcp/deb.debian.org/80' 2>/dev/null ||
    cannot_run "no guest in $GUEST yet, and no network to fetch its packages from deb.debian.org"
  mkdir -p "$CACHE_ROOT"
  # Guests of other package lists are old ones: they go.
  find "$CACHE_ROOT" -mindepth 1 -maxdepth 1 ! -name "$KEY" ! -name "$KEY.*" ! -name 'kvm-*' -exec rm -rf {} + 2>/dev/null || true
  echo "== building the guest in $GUEST (mmdebstrap; log $GUEST.log)"
  if ! bash scripts/vm/build-guest.sh "$GUEST" "${GUEST_PACKAGES[@]}" > "$GUEST.log" 2>&1; then
    tail -n 20 "$GUEST.log"
    echo "vmtest: building the guest failed (log $GUEST.log)"
    exit 1
  fi
  echo "   built in $(( $(date +%s) - START )) s"
else
  echo "== guest from $GUEST"
fi

echo "== building the window test program (kvl-vmguest) in $BUILD/"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j"$(nproc)" --target kvl-vmguest >/dev/null

WORK=$(mktemp -d /tmp/kvl-vmtest.XXXXXX)
# The machine never outlives the run, whatever ends it.
trap '[ -f "$WORK/qemu.pid" ] && kill "$(cat "$WORK/qemu.pid")" 2>/dev/null; rm -rf "$WORK"' EXIT
SHARE=$WORK/share
mkdir -p "$SHARE"
install -m 755 "$BUILD/tests/kvl-vmguest" "$SHARE/kvl-vmguest"
install -m 755 scripts/vm/guest.sh "$SHARE/guest.sh"
chmod 755 "$WORK" "$SHARE"

KVM=()
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
  # Whether KVM really runs a guest here is found once (a hanging KVM costs
  # 15 s to find out) and kept per host kernel and QEMU version.
  QV=$("$QEMU" --version | head -n 1 | sha256sum | cut -c1-12)
  KVM=(--kvm --kvm-verdict "$CACHE_ROOT/kvm-$(uname -r)-$QV")
fi
status=0
PYTHONPATH="$ROOT/scripts/vm" "$PYTHON" scripts/vm/rig.py --qemu "$QEMU" \
  --kernel "$GUEST/vmlinuz" --initrd "$GUEST/initrd.img" --image "$GUEST/root.img" \
  --share "$SHARE" --work "$WORK" --only "$ONLY" --cpus "${KVL_VM_CPUS:-1}" "${KVM[@]}" || status=$?
if [ -n "${KVL_VM_KEEP:-}" ]; then
  cp -a "$WORK" "$KVL_VM_KEEP" 2>/dev/null || true
  echo "   the run's console, QEMU log and trace are in $KVL_VM_KEEP"
fi
if [ $status -ne 0 ]; then
  echo "== guest console (last lines):"
  tail -n 15 "$WORK/console.log" 2>/dev/null | sed 's/^/   /' || true
fi
echo "== vmtest took $(( $(date +%s) - START )) s"
exit $status
