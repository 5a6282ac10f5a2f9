#!/usr/bin/env bash
# Prints the resident memory of the connector in each run mode, after 10 s of idling:
# headless (this build and, if built, the QUORVEL_GUI=OFF build in build-nogui/), headless by
# itself for want of a display, and the tray application on Xvfb with trayer. The connector
# gets a loopback xAP setup and a CM11A port that does not exist.
#
#   bash bench/run_modes_rss.sh [BUILD_DIR]
#
# As root it runs inside a private network namespace (only 'lo').
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
build=$(readlink -f "$build")
if [ "${QUORVEL_RSS_INNER:-}" != 1 ] && [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  exec env QUORVEL_RSS_INNER=1 unshare -n -- bash -c 'ip link set lo up && exec bash "$0" "$1"' "$0" "$build"
fi

work=$(mktemp -d /tmp/quorvel-rss.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  sleep 0.5
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/Config"
printf '[General]\r\nComPort=/nonexistent/quorvel-bench-serial\r\n' >"$work/Config/Quorvel.ini"
printf '[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n' >"$work/Config/zebXap.ini"

measure() {  # measure NAME COMMAND...
  local name=$1; shift
  "$@" --app-folder "$work" >"$work/out.log" 2>&1 &
  local pid=$!
  sleep 10
  if ! kill -0 "$pid" 2>/dev/null; then echo "$name: did not keep running"; cat "$work/out.log"; return; fi
  local rss gui
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
  gui=$(grep -c -E 'libQt6(Gui|Widgets)' "/proc/$pid/maps" || true)
  printf '%-40s VmRSS %6d kB   Qt Gui/Widgets mappings: %s\n' "$name" "$rss" "$gui"
  kill -TERM "$pid"; wait "$pid" || true
}

measure "headless (--headless)" env -u DISPLAY -u WAYLAND_DISPLAY "$build/quorvel" --headless
measure "headless by itself (no display)" env -u DISPLAY -u WAYLAND_DISPLAY "$build/quorvel"
if [ -x "$(dirname "$build")/build-nogui/quorvel" ]; then
  measure "QUORVEL_GUI=OFF build, headless" env -u DISPLAY "$(dirname "$build")/build-nogui/quorvel" --headless
fi
if command -v Xvfb >/dev/null && command -v trayer >/dev/null; then
  n=$(( 600 + $$ % 300 ))
  while [ -e "/tmp/.X$n-lock" ]; do n=$(( n + 1 )); done
  Xvfb ":$n" -screen 0 1024x600x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do DISPLAY=":$n" xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
  DISPLAY=":$n" trayer --edge top --align right --widthtype request --height 30 >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
  measure "tray application (Xvfb, trayer)" env DISPLAY=":$n" "$build/quorvel"
else
  echo "tray application: needs Xvfb and trayer"
fi
