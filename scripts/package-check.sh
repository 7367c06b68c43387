#!/usr/bin/env bash
# Builds the Debian package from a build tree (default build/) and checks
# it: lintian must report no error and no warning; then, as root, the
# package is installed with dpkg, its programs, manual pages, desktop entry
# and icons are tried from the installed paths (the entry as a menu starts
# it: its settings go to ~/KVL), and after removing it nothing it installed
# may be left.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"

cmake --build "$BUILD" -j"$(nproc)"
(cd "$BUILD" && cpack -G DEB >/dev/null)
VERSION=$(env -u DISPLAY -u WAYLAND_DISPLAY "$BUILD/app/kvlterm" --version | cut -d' ' -f2)
DEB="$BUILD/kvlterm_${VERSION}_$(dpkg --print-architecture).deb"
[ -f "$DEB" ] || { echo "no package at $DEB"; exit 1; }
echo "== package $DEB"

echo "== lintian"
status=0
report=$(lintian --fail-on error,warning "$DEB" 2>&1) || status=$?
# Lintian notes on stderr when it runs as root; that note is no finding.
report=$(printf '%s\n' "$report" | grep -v '^running with root privileges is not recommended!$' || true)
[ -z "$report" ] || printf '%s\n' "$report"
if [ "$status" -ne 0 ] || printf '%s\n' "$report" | grep -Eq '^[EW]: '; then
  echo "lintian reports errors or warnings (E:/W:) on $DEB, or did not run (status $status)"
  exit 1
fi
echo "   no errors, no warnings"

if [ "$(id -u)" -ne 0 ]; then
  echo "== install check skipped: installing the package with dpkg needs root (run this as root to include it)"
  exit 0
fi
if dpkg-query -W -f='${Status}' kvlterm 2>/dev/null | grep -q "ok installed"; then
  echo "== kvlterm is installed on this machine already; the install check would replace and remove it."
  echo "   Remove it first (apt-get remove kvlterm) to run the check."
  # A CI machine starts clean: a package there is a leftover, not a choice.
  [ "${CI:-}" = "true" ] && exit 1
  exit 0
fi

SCRATCH=$(mktemp -d)
INSTALLED=""
cleanup() {
  if [ -n "$INSTALLED" ]; then dpkg --purge kvlterm >/dev/null 2>&1 || true; fi
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

echo "== dpkg -i"
dpkg -i "$DEB" >/dev/null
INSTALLED=yes
dpkg-query -L kvlterm > "$SCRATCH/files"
fail() { echo "install check: $*"; exit 1; }

# The programs from their installed paths, with no display and in an empty
# directory: the version and the help come without a window or a file.
mkdir "$SCRATCH/cwd"
version=$(cd "$SCRATCH/cwd" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/kvlterm --version)
[ "$version" = "kvlterm $VERSION" ] || fail "kvlterm --version printed '$version'"
(cd "$SCRATCH/cwd" && /usr/bin/kvl-sim --help | grep -q '^Usage: ') || fail "kvl-sim --help"
[ -z "$(ls -A "$SCRATCH/cwd")" ] || fail "kvlterm --version left files: $(ls -A "$SCRATCH/cwd")"
echo "   /usr/bin/kvlterm --version: $version; /usr/bin/kvl-sim --help: usage"

pages=$(man -w kvlterm kvl-sim | tr '\n' ' ')
[ "$pages" = "/usr/share/man/man1/kvlterm.1.gz /usr/share/man/man1/kvl-sim.1.gz " ] ||
  fail "man -w kvlterm kvl-sim found '$pages'"
echo "   man -w: $pages"

ENTRY=/usr/share/applications/kvlterm.desktop
desktop-file-validate "$ENTRY" || fail "desktop-file-validate $ENTRY"
for size in 16 32 48 64 128 256; do
  icon=/usr/share/icons/hicolor/${size}x${size}/apps/kvlterm.png
  # Width and height stand in the PNG header at bytes 16 to 23.
  dims=$(od -An -tu1 -j16 -N8 "$icon" | awk '{print $3*256+$4 "x" $7*256+$8}')
  [ "$dims" = "${size}x${size}" ] || fail "$icon is $dims"
done
grep -q '<svg' /usr/share/icons/hicolor/scalable/apps/kvlterm.svg || fail "no scalable icon"
echo "   desktop entry valid; icons 16 to 256 and scalable"

# The entry's command as a menu runs it: from another directory, with a
# home of its own. ~/KVL and the starting directory both hold a settings
# file that maps every COM number to nothing, so that no real port is
# probed wherever it works. The program completes the file in ~/KVL, leaves
# the other as it was, and ends on the session's stop signal.
# xargs splits the line at blanks outside quotes, as the entry means it,
# and expands nothing.
readarray -t exec_args < <(sed -n 's/^Exec=//p' "$ENTRY" | xargs printf '%s\n')
[ "${exec_args[0]:-}" = kvlterm ] || fail "the entry runs '${exec_args[*]}'"
set -- "${exec_args[@]:1}"
HOME_DIR="$SCRATCH/home"
mkdir -p "$HOME_DIR/KVL"
{ printf '[Com ports]\r\n'; for n in $(seq 1 16); do printf 'COM%d:=\r\n' "$n"; done; } > "$HOME_DIR/KVL/zel .ini"
cp "$HOME_DIR/KVL/zel .ini" "$SCRATCH/cwd/zel .ini"
cp "$HOME_DIR/KVL/zel .ini" "$SCRATCH/no-ports.ini"
(cd "$SCRATCH/cwd" && exec env -u DISPLAY -u WAYLAND_DISPLAY HOME="$HOME_DIR" QT_QPA_PLATFORM=offscreen \
   /usr/bin/kvlterm "$@" > "$SCRATCH/term.log" 2>&1) &
TERM_PID=$!
for _ in $(seq 1 300); do
  grep -q 'Phone 4:=' "$HOME_DIR/KVL/zel .ini" && break
  kill -0 "$TERM_PID" 2>/dev/null || break
  sleep 0.1
done
written=no
grep -q 'Phone 4:=' "$HOME_DIR/KVL/zel .ini" && written=yes
kill -TERM "$TERM_PID" 2>/dev/null || true
status=0
wait "$TERM_PID" || status=$?
[ "$written" = yes ] || { cat "$SCRATCH/term.log"; fail "the entry's command did not write ~/KVL/zel .ini"; }
[ "$status" -eq 0 ] || { cat "$SCRATCH/term.log"; fail "kvlterm ended with status $status on SIGTERM"; }
cmp -s "$SCRATCH/no-ports.ini" "$SCRATCH/cwd/zel .ini" || fail "the entry's command wrote into its starting directory"
echo "   the desktop entry's command works in ~/KVL: $(grep -c . "$HOME_DIR/KVL/zel .ini") lines written"

echo "== dpkg --purge"
dpkg --purge kvlterm >/dev/null
INSTALLED=""
left=()
while IFS= read -r path; do
  [ "$path" = "/." ] && continue
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    # A directory may stay only while another package still owns it.
    dpkg-query -S "$path" >/dev/null 2>&1 || left+=("$path")
  elif [ -e "$path" ] || [ -L "$path" ]; then
    left+=("$path")
  fi
done < "$SCRATCH/files"
[ ${#left[@]} -eq 0 ] || fail "left after removal: ${left[*]}"
echo "   nothing of the package is left"
echo "== package check passed"
