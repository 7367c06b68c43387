#!/bin/sh
# The rig's guest side, run as root at boot from the host's share: it
# answers the host on the control port, one line per request.
#   sh BASE64           runs a shell command; "ok RC BASE64-OUTPUT"
#   run USER [PORT]     starts the window program (kvl-vmguest) as USER on
#                       a program port (kvl.app, or kvl.app2 and kvl.app3 for
#                       a second and a third program beside the first);
#                       "ok PID"
#   wait [PID]          waits for the program (the last started) to end;
#                       "done RC"
#   poweroff
CTL=/dev/virtio-ports/kvl.ctl
APP=/dev/virtio-ports/kvl.app
i=0
while { [ ! -e "$CTL" ] || [ ! -e "$APP" ] || [ ! -e "$APP"2 ] || [ ! -e "$APP"3 ]; } && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
udevadm settle -t 30
exec 3<>"$CTL"
echo "hello $(uname -r)" >&3
while IFS= read -r line <&3; do
  cmd=${line%% *}
  rest=${line#* }
  case "$cmd" in
    sh)
      out=$(printf '%s' "$rest" | base64 -d | sh 2>&1)
      rc=$?
      printf 'ok %s %s\n' "$rc" "$(printf '%s' "$out" | base64 -w0)" >&3
      ;;
    run)
      user=${rest%% *}
      port=kvl.app
      [ "$user" != "$rest" ] && port=${rest#* }
      home=$(getent passwd "$user" | cut -d: -f6)
      mkdir -p "/tmp/xdg-$user" && chown "$user" "/tmp/xdg-$user" && chmod 700 "/tmp/xdg-$user"
      setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups \
        env -i HOME="$home" USER="$user" PATH=/usr/bin:/bin LC_ALL=C.UTF-8 \
        QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="/tmp/xdg-$user" \
        /mnt/host/kvl-vmguest <>"/dev/virtio-ports/$port" >&0 2>>"/tmp/kvl-vmguest-$user-$port.log" 3>&- &
      app=$!
      printf 'ok %s\n' "$app" >&3
      ;;
    wait)
      pid=$app
      [ "$rest" != "wait" ] && [ -n "$rest" ] && pid=$rest
      wait "$pid"
      printf 'done %s\n' "$?" >&3
      ;;
    poweroff)
      echo ok >&3
      poweroff -f
      ;;
    *)
      echo "err unknown" >&3
      ;;
  esac
done
