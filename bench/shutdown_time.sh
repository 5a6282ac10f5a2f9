#!/usr/bin/env bash
# Time from SIGTERM to exit of the connector with 1,000 commands queued.
#
# Starts the built xap-hub, cm11a-sim (made silent, so that the first command waits for its
# reply and every later one stays queued) and the connector in a temporary folder, sends four
# requests naming 17,000 devices (each queues one command per device of the 256; the queue
# takes 1,000, the rest is refused), waits until the log shows the 1,000th command queued,
# sends SIGTERM and times the exit. Prints one figure a
# run and the median. As root it re-runs itself under `unshare -n` (only `lo`); every packet
# goes to 127.0.0.0/8 in any case. Every wait is bounded; children are ended by their PIDs.
#
# BACKLOG=N sends N more such requests right before the signal.
#
#   bash bench/shutdown_time.sh [RUNS]     (BUILD=build, QUORVEL=$BUILD/quorvel, BACKLOG=0)
set -euo pipefail

RUNS=${1:-5}
BACKLOG=${BACKLOG:-0}
BUILD=${BUILD:-build}
QUORVEL=${QUORVEL:-$BUILD/quorvel}
if [ "$(id -u)" = 0 ] && [ -z "${QUORVEL_SHUTDOWN_NS:-}" ] && unshare -n true 2>/dev/null; then
  exec env QUORVEL_SHUTDOWN_NS=1 unshare -n -- bash -c 'ip link set lo up; exec bash "$0" "$@"' "$0" "$@"
fi

# shellcheck source=bench/script_support.sh
source "$(dirname "$0")/script_support.sh"

"$BUILD/tools/xap-hub/xap-hub" --verbose >"$dir/hub.out" 2>&1 &
pids+=($!)
wait_for "listening" 100 "$dir/hub.out"
"$BUILD/tools/cm11a-sim/cm11a-sim" --fast --tcp-port 0 --control-port 0 >"$dir/sim.out" 2>"$dir/sim.err" &
pids+=($!)
wait_for "cm11a-sim ready" 100 "$dir/sim.out"
tcp=$(sed -n 's/.*tcp=127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/sim.out")
control=$(sed -n 's/.*control=127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/sim.out")
exec 3<>"/dev/tcp/127.0.0.1/$control"
echo "fault silent on" >&3
read -r -t 5 answer <&3
[ "$answer" = ok ] || { echo "simulator answered '$answer'" >&2; exit 1; }

devices=$(awk 'BEGIN { for (i = 0; i < 17000; i++) printf "%s%c%d", (i ? "," : ""), 65 + i % 16, 1 + int(i / 16) % 16 }')
figures=()
for run in $(seq "$RUNS"); do
  app="$dir/app$run"
  start_connector "$QUORVEL" "$app" "$tcp"
  # A request queues one command per device: four of them fill the queue.
  for _ in 1 2 3 4; do
    "$BUILD/tools/xap-send/xap-send" --class xAP-X10.request --block xAP-X10.request --target 'zeb.CM11A.*' \
      "device=$devices" command=on >/dev/null
  done
  wait_for "AddToQueue Count=999 " 300 "$app/Data/Quorvel.txt"
  # A backlog of further requests arriving just before the signal.
  for _ in $(seq "$BACKLOG"); do
    "$BUILD/tools/xap-send/xap-send" --class xAP-X10.request --block xAP-X10.request --target 'zeb.CM11A.*' \
      "device=$devices" command=on >/dev/null
  done
  t0=$(date +%s%N)
  kill -TERM "$q"
  wait "$q" || true
  t1=$(date +%s%N)
  ms=$(( (t1 - t0) / 1000000 ))
  figures+=("$ms")
  echo "run $run: SIGTERM to exit with 1000 commands queued and $BACKLOG more requests just sent: $ms ms"
done
sorted=$(printf '%s\n' "${figures[@]}" | sort -n)
echo "median: $(echo "$sorted" | sed -n "$(( (RUNS + 1) / 2 ))p") ms (min $(echo "$sorted" | head -1), max $(echo "$sorted" | tail -1))"
