#!/usr/bin/env bash
# Renders the desktop into docs/images/: the tray icon with its open menu, the setup window
# showing a refused value, the status window and the communications window with live traffic. Everything runs on a virtual X server
# (Xvfb) with trayer as the tray host, on loopback: the xAP hub, the CM11A simulator over
# TCP and the connector.
#
#   bash scripts/screenshots.sh
#
# As root it runs inside a private network namespace (only 'lo'), so nothing can leave the
# machine. Otherwise it needs UDP port 3639 free.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${QUORVEL_BUILD_DIR:-$root/build}"

if [ "${1:-}" != "--run" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target quorvel quorvel_desktop xap-hub cm11a-sim xap-send >/dev/null
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n -- bash -c 'ip link set lo up && exec "$0" --run' "$0"
  fi
  exec "$0" --run
fi

images="$root/docs/images"
hub_bin="$build/tools/xap-hub/xap-hub"
sim_bin="$build/tools/cm11a-sim/cm11a-sim"
send_bin="$build/tools/xap-send/xap-send"
work=$(mktemp -d /tmp/quorvel-shots.XXXXXX)
mkdir -p "$images"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  [ -n "${QUORVEL_KEEP_WORK:-}" ] && echo "screenshots: logs in $work" || rm -rf "$work"
}
trap cleanup EXIT

wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local seconds=$1; shift
  for _ in $(seq $(( seconds * 10 ))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "screenshots: timed out waiting for: $*" >&2
  exit 1
}

# A display of our own.
n=$(( 200 + $$ % 300 ))
while [ -e "/tmp/.X$n-lock" ]; do n=$(( n + 1 )); done
export DISPLAY=":$n"
unset WAYLAND_DISPLAY
Xvfb "$DISPLAY" -screen 0 1024x600x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 10 xwininfo -root  # the server answers (a socket file may be left from an old one)
trayer --edge top --align right --widthtype request --height 30 --transparent true --alpha 0 \
  --tint 0x2e3440 >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 sh -c 'xwininfo -root -tree | grep -q "\"panel\" \"trayer\""'

"$hub_bin" --verbose >"$work/hub.log" 2>&1 &
pids+=($!)
wait_for 5 grep -q listening "$work/hub.log"
"$sim_bin" --tcp-port 0 --control-port 0 >"$work/sim.log" 2>&1 &
pids+=($!)
wait_for 5 grep -q "cm11a-sim ready" "$work/sim.log"
ready=$(grep -m1 "cm11a-sim ready" "$work/sim.log")
tcp=$(sed -E 's/.*tcp=([^ ]+).*/\1/' <<<"$ready")
control_port=$(sed -E 's/.*control=127\.0\.0\.1:([0-9]+).*/\1/' <<<"$ready")

app="$work/app"
mkdir -p "$app/Config"
printf '[General]\r\nComPort=%s\r\nHouse=ABC\r\nIgnore=C7\r\n' "$tcp" >"$app/Config/Quorvel.ini"
printf '[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n' >"$app/Config/zebXap.ini"
"$build/quorvel" --app-folder "$app" >"$work/quorvel.log" 2>&1 &
pids+=($!)
wait_for 20 grep -q "Using xAP port" "$work/quorvel.log"

# The icon: the connector's window docked in trayer's panel.
icon_window() {
  xwininfo -root -tree | awk '/"panel" "trayer"/ {inpanel=1; next} inpanel && /"quorvel" "quorvel"/ {print $1; exit}'
}
wait_for 20 sh -c "xwininfo -root -tree | grep -q '\"quorvel\" \"quorvel\"'"
icon=$(icon_window)
[ -n "$icon" ] || { echo "screenshots: no icon in the tray" >&2; exit 1; }

request() {  # request DEVICES COMMAND
  "$send_bin" --class xAP-X10.request --target 'zeb.CM11A.*' --block xAP-X10.request \
    "device=$1" "command=$2" >/dev/null
}
hear() {  # the simulator hears traffic on the power line
  exec 3<>"/dev/tcp/127.0.0.1/$control_port"
  printf '%s\n' "$1" >&3
  read -r -t 5 _ <&3 || true
  exec 3<&-
}
window_named() { xdotool search --name "^$1\$" | head -1; }

# 1. The menu, opened by a right click on the icon.
xdotool mousemove --window "$icon" 6 6 click 3
sleep 0.8
import -window root -crop 320x190+704+0 +repage "$images/tray-menu.png"
xdotool key Escape
sleep 0.3

# 2. The communications window, from the menu, with live traffic and a typed command.
# (A left click opens the menu once the double-click time has passed.)
xdotool mousemove --window "$icon" 6 6 click 1
sleep 1.2
xdotool key Down Down Down Down Return
wait_for 10 sh -c 'xdotool search --name "^CM11A Communications Window$"'
request A1,A2 on
sleep 2.5
hear "hear B3 on"
sleep 2
request A1 off
sleep 2
comm=$(window_named "CM11A Communications Window")
xdotool windowfocus --sync "$comm" type "b2 dim 11"
xdotool windowfocus --sync "$comm" key Return
sleep 2
xdotool windowmove "$comm" 0 0
sleep 0.3
import -window "$comm" "$images/comm-window.png"
xdotool windowunmap "$comm"

# 3. System Status, opened by a double-click on the icon.
xdotool mousemove --window "$icon" 6 6 click --repeat 2 --delay 80 1
wait_for 10 sh -c 'xdotool search --onlyvisible --name "^CM11A System Status$"'
status=$(window_named "CM11A System Status")
xdotool windowmove "$status" 0 0
sleep 0.5
import -window "$status" "$images/status-window.png"
xdotool windowfocus --sync "$status" key Escape

# 4. The setup window, opened by a host's configuration request, with a House that is
# refused: the problem shows under the field.
exe=$(readlink -f "$build/quorvel")
"$send_bin" --class Homeseer.Config --target 'zeb.CM11A.*' --block Config.Form \
  Form=SetupForm "Path=$exe" >/dev/null
wait_for 10 sh -c 'xdotool search --name "^CM11A Setup$"'
setup=$(window_named "CM11A Setup")
xdotool windowmove "$setup" 0 0
xdotool windowfocus --sync "$setup" key Tab Tab type "ABQ"
xdotool windowfocus --sync "$setup" key Return
sleep 0.8
import -window "$setup" "$images/setup-window.png"
xdotool windowfocus --sync "$setup" key Escape

echo "screenshots: wrote $images/tray-menu.png, comm-window.png, status-window.png and setup-window.png"
