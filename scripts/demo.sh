#!/usr/bin/env bash
# The demo: installs what the build needs, builds, then starts the xAP hub, the CM11A
# simulator and the connector (headless) on loopback, switches two lamps through the xAP
# network, lets the simulator "hear" a wall switch, shows what happened, and stops it all.
#
#   bash scripts/demo.sh
#
# As root it runs inside a private network namespace (only 'lo'), so nothing can leave the
# machine and a real hub on port 3639 is not disturbed. Otherwise it needs port 3639 free.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${QUORVEL_BUILD_DIR:-$root/build}"

if [ "${1:-}" != "--run" ]; then
  bash scripts/install-deps.sh
  echo "== building (first time takes a few minutes)"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target quorvel xap-hub cm11a-sim xap-send >/dev/null
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n -- bash -c 'ip link set lo up && exec "$0" --run' "$0"
  fi
  exec "$0" --run
fi

hub_bin="$build/tools/xap-hub/xap-hub"
sim_bin="$build/tools/cm11a-sim/cm11a-sim"
send_bin="$build/tools/xap-send/xap-send"
app=$(mktemp -d /tmp/quorvel-demo.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  echo "== stopped; the demo's folder is $app (settings in Config/, log in Data/Quorvel.txt)"
}
trap cleanup EXIT

wait_for() {  # wait_for FILE TEXT SECONDS
  for _ in $(seq $(( $3 * 10 ))); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "demo: timed out waiting for '$2' in $1" >&2
  exit 1
}

sim_command() {  # one control command; prints the answer up to its closing line
  exec 3<>"/dev/tcp/127.0.0.1/$control_port"
  printf '%s\n' "$1" >&3
  while IFS= read -r -t 5 line <&3; do
    case "$line" in
      ok) break ;;
      .|error:*) [ "$line" = . ] || echo "$line"; break ;;
      *) echo "   $line" ;;
    esac
  done
  exec 3<&-
}

echo "== starting the xAP hub (loopback, port 3639)"
"$hub_bin" --verbose >"$app/hub.log" 2>&1 &
pids+=($!)
wait_for "$app/hub.log" "listening" 5

echo "== starting the CM11A simulator"
"$sim_bin" --tcp-port 0 --control-port 0 >"$app/sim.log" 2>&1 &
pids+=($!)
wait_for "$app/sim.log" "cm11a-sim ready" 5
ready=$(grep -m1 "cm11a-sim ready" "$app/sim.log")
tcp=$(sed -E 's/.*tcp=([^ ]+).*/\1/' <<<"$ready")
control_port=$(sed -E 's/.*control=127\.0\.0\.1:([0-9]+).*/\1/' <<<"$ready")
echo "   $ready"

mkdir -p "$app/Config"
printf '[General]\r\nComPort=%s\r\nDebug=1\r\n' "$tcp" >"$app/Config/Quorvel.ini"
printf '[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n' >"$app/Config/zebXap.ini"

echo "== starting the connector: quorvel --headless --app-folder $app"
"$build/quorvel" --headless --app-folder "$app" >"$app/quorvel.log" 2>&1 &
pids+=($!)
wait_for "$app/hub.log" "Using xAP port" 20
sleep 1  # the link opens right after the xAP start

echo
echo "== an xAP client asks for A1 and A2 on:"
echo "   xap-send --class xAP-X10.request --target 'zeb.CM11A.*' --block xAP-X10.request device=A1,A2 command=on"
echo "   what the xAP network carried back:"
"$send_bin" --class xAP-X10.request --target 'zeb.CM11A.*' --block xAP-X10.request \
  device=A1,A2 command=on --listen 4 | sed 's/^/   | /'

echo "== the simulator's lamps now:"
sim_command state

echo
echo "== someone presses a wall switch for B3 (the simulator hears 'B3 on' on the power line):"
( sleep 0.5; sim_command "hear B3 on" >/dev/null ) &
"$send_bin" --class WDT.Echo --block Echo.Query Query=demo --listen 5 | sed 's/^/   | /'

echo "== the simulator's lamps now:"
sim_command state
echo "== bytes on the serial line (rx: from the connector, tx: from the interface):"
sim_command log | head -40
