#!/usr/bin/env bash
# Builds the rig's guest: a minimal Debian 12 root file system (mmdebstrap)
# with the terminal's run-time libraries, udev, D-Bus and ModemManager, and
# Debian's own kernel and initramfs taken out of it. Everything lands in
# the directory given as $1:
#   vmlinuz, initrd.img   the kernel and initramfs of linux-image-amd64
#   root.img              the root file system as an ext4 image (made
#                         without mounting: mke2fs -d)
# The guest runs /usr/local/sbin/kvl-agent at boot, which mounts the host's
# share (9p, tag "host") and runs the rig's guest side from it, so the image
# holds nothing of the program and is built once for many runs.
set -euo pipefail
OUT=$1
shift
PACKAGES=("$@")
WORK=$(mktemp -d "${OUT}.work.XXXXXX")
cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT

ROOT=$WORK/root
INCLUDE=$(IFS=,; echo "${PACKAGES[*]}")

cat > "$WORK/kvl-agent" <<'AGENT'
#!/bin/sh
# The rig's guest side lives on the host's share.
modprobe 9pnet_virtio 2>/dev/null
mkdir -p /mnt/host
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=none host /mnt/host || {
  echo "kvl-agent: the host share did not mount" > /dev/console; poweroff -f; }
exec /bin/sh /mnt/host/guest.sh
AGENT

cat > "$WORK/kvl-agent.service" <<'UNIT'
[Unit]
Description=kvlterm test rig, guest side
After=systemd-udev-settle.service dbus.service local-fs.target
Wants=systemd-udev-settle.service

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/kvl-agent
StandardOutput=journal+console
StandardError=journal+console

[Install]
WantedBy=multi-user.target
UNIT

mmdebstrap --variant=apt --mode=root \
  --aptopt='APT::Install-Recommends "false"' \
  --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --dpkgopt='path-exclude=/usr/share/info/*' \
  --include="$INCLUDE" \
  --customize-hook='echo kvlvm > "$1/etc/hostname"' \
  --customize-hook='printf "/dev/vda / ext4 defaults 0 1\n" > "$1/etc/fstab"' \
  --customize-hook='chroot "$1" passwd -d root' \
  --customize-hook='chroot "$1" useradd -m -s /bin/sh kvluser' \
  --customize-hook="install -m 755 '$WORK/kvl-agent' \"\$1/usr/local/sbin/kvl-agent\"" \
  --customize-hook="install -m 644 '$WORK/kvl-agent.service' \"\$1/etc/systemd/system/kvl-agent.service\"" \
  --customize-hook='chroot "$1" systemctl enable kvl-agent.service' \
  --customize-hook='chroot "$1" systemctl disable ModemManager.service || true' \
  --customize-hook='chroot "$1" systemctl mask apt-daily.timer apt-daily-upgrade.timer getty@tty1.service serial-getty@ttyS0.service serial-getty@ttyS1.service systemd-timesyncd.service e2scrub_all.timer fstrim.timer 2>/dev/null || true' \
  --customize-hook='mkdir -p "$1/etc/systemd/system.conf.d"; printf "[Manager]\nDefaultTimeoutStopSec=5s\n" > "$1/etc/systemd/system.conf.d/kvl.conf"' \
  --customize-hook='cp -L "$1/vmlinuz" "'"$WORK"'/vmlinuz"; cp -L "$1/initrd.img" "'"$WORK"'/initrd.img"' \
  bookworm "$ROOT" \
  "deb http://deb.debian.org/debian bookworm main" \
  "deb http://deb.debian.org/debian bookworm-updates main" \
  "deb http://deb.debian.org/debian-security bookworm-security main"

# The kernel and initramfs stay in the image too (the modules need them
# not, but dpkg keeps its files); the image gets room for the test's files.
size_mb=$(( $(du -sm "$ROOT" | cut -f1) + 384 ))
mke2fs -q -t ext4 -L kvlroot -d "$ROOT" "$WORK/root.img" "${size_mb}M"
mkdir -p "$OUT"
mv "$WORK/vmlinuz" "$WORK/initrd.img" "$WORK/root.img" "$OUT/"
