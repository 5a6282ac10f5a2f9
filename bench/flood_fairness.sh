#!/usr/bin/env bash
# How long another sender waits behind a full transmit queue, at the interface's real pace.
#
# Starts the built xap-hub, cm11a-sim (SPEED=1: the real device's timing, about 1.2 commands a
# second) and the connector in a temporary folder. One node sends four requests naming all
# 256 devices (17,000 entries each, about 60 kB: the queue fills with that node's commands);
# once the log shows 900 commands queued, another node asks for P16 off, and the time until
# that function is on the simulated power line is printed. As root it re-runs itself under
# `unshare -n` (only `lo`); every packet goes to 127.0.0.0/8 in any case. Every wait is
# bounded; children are ended by their PIDs.
#
#   bash bench/flood_fairness.sh [RUNS]     (BUILD=build, SPEED=1)
set -euo pipefail

RUNS=${1:-3}
BUILD=${BUILD:-build}
SPEED=${SPEED:-1}
if [ "$(id -u)" = 0 ] && [ -z "${QUORVEL_FAIRNESS_NS:-}" ] && unshare -n true 2>/dev/null; then
  exec env QUORVEL_FAIRNESS_NS=1 unshare -n -- bash -c 'ip link set lo up; exec bash "$0" "$@"' "$0" "$@"
fi

# shellcheck source=bench/script_support.sh
source "$(dirname "$0")/script_support.sh"
send() {  # source, then items
  local source=$1
  shift
  "$BUILD/tools/xap-send/xap-send" --class xAP-X10.request --block xAP-X10.request --target 'zeb.CM11A.*' \
    --source "$source" "$@" >/dev/null
}

"$BUILD/tools/xap-hub/xap-hub" --verbose >"$dir/hub.out" 2>&1 &
pids+=($!)
wait_for "listening" 100 "$dir/hub.out"
devices=$(awk 'BEGIN { for (i = 0; i < 17000; i++) printf "%s%c%d", (i ? "," : ""), 65 + i % 16, 1 + int(i / 16) % 16 }')
for run in $(seq "$RUNS"); do
  app="$dir/app$run"
  mkdir -p "$app/Config"
  "$BUILD/tools/cm11a-sim/cm11a-sim" --speed "$SPEED" --tcp-port 0 --control-port 0 >"$app/sim.out" 2>"$app/sim.err" &
  sim=$!
  pids+=($sim)
  wait_for "cm11a-sim ready" 100 "$app/sim.out"
  tcp=$(sed -n 's/.*tcp=127\.0\.0\.1:\([0-9]*\).*/\1/p' "$app/sim.out")
  control=$(sed -n 's/.*control=127\.0\.0\.1:\([0-9]*\).*/\1/p' "$app/sim.out")
  start_connector "$BUILD/quorvel" "$app" "$tcp"
  sleep 3  # the start-up clock exchange
  for _ in 1 2 3 4; do send acme.flood.node "device=$devices" command=on; sleep 0.05; done
  wait_for "AddToQueue Count=900 " 300 "$app/Data/Quorvel.txt"
  exec 3<>"/dev/tcp/127.0.0.1/$control"
  t0=$(date +%s%N)
  send acme.other.node device=P16 command=off
  waited=""
  for _ in $(seq 1200); do  # 120 s at most
    echo powerline >&3
    out=""
    while read -r -t 5 line <&3; do [ "$line" = . ] && break; out+="$line"$'\n'; done
    if grep -q "P off -> P16" <<<"$out"; then waited=$(( ($(date +%s%N) - t0) / 1000000 )); break; fi
    sleep 0.1
  done
  exec 3>&-
  echo "run $run: another node's request carried out ${waited:-never (over 120 s)} ms after it was sent, with the queue full of one node's commands (speed $SPEED)"
  kill -TERM "$q" "$sim"
  wait "$q" "$sim" 2>/dev/null || true
  grep -o "Stopping: .*" "$app/Data/Quorvel.txt" | tail -1
done
