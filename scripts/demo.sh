#!/usr/bin/env bash
# The demo: installs what the build needs, builds, then starts the xAP hub, the CM11A
# simulator and the connector (headless) on loopback, switches two lamps through the xAP
# network, lets the simulator "hear" a wall switch, explains what happened, and stops it all.
#
#   bash scripts/demo.sh [--keep]
#
# --keep leaves the demo's temporary application folder (settings, log) in place; the logs
# are copied to build/demo-logs/ either way. The last line says whether the demo worked
# (exit status 0) or not (exit status 1).
#
# As root it runs inside a private network namespace (only 'lo'), so nothing can leave the
# machine and a real hub on port 3639 is not disturbed. Otherwise it needs port 3639 free.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${QUORVEL_BUILD_DIR:-$root/build}"

keep=0
stage=setup
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    --run) stage=run ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option '$arg' (try --help)" >&2; exit 2 ;;
  esac
done
keep_arg=()
[ "$keep" = 1 ] && keep_arg=(--keep)

# Runs a command in the foreground (sudo may ask for a password), printing the elapsed time
# every 10 s while it lasts.
with_ticker() {
  local ticker status=0
  ( n=0; while sleep 10; do n=$((n + 10)); echo "   ... still at it, $n s"; done ) &
  ticker=$!
  "$@" || status=$?
  kill "$ticker" 2>/dev/null || true
  wait "$ticker" 2>/dev/null || true
  return "$status"
}

# Reads CMake's build output and shows its percentage: in place on a terminal, otherwise one
# line per tenth.
show_progress() {  # show_progress TTY
  local line p last=-10
  while IFS= read -r line; do
    [[ $line =~ ^\[\ *([0-9]+)%\] ]] || continue
    p=${BASH_REMATCH[1]}
    if [ "$1" = 1 ]; then
      printf '\r   building: %3d%%' "$p"
    elif [ "$p" -ge $((last + 10)) ] || { [ "$p" = 100 ] && [ "$last" != 100 ]; }; then
      printf '   building: %3d%%\n' "$p"
      last=$p
    fi
  done
  if [ "$1" = 1 ]; then echo; fi
}

if [ "$stage" = setup ]; then
  started=$SECONDS
  echo "== [1/7] Checking the Debian packages the build needs (installing them takes about half a minute)"
  with_ticker bash scripts/install-deps.sh

  echo "== [2/7] Building the connector and the three demo tools into $build/ (CMake's progress below)"
  mkdir -p "$build"
  build_log="$build/demo-build.log"
  if ! cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build_log" 2>&1; then
    tail -n 30 "$build_log"
    echo "demo: FAILED: CMake could not configure the build (whole output in $build_log)"
    exit 1
  fi
  tty=0
  [ -t 1 ] && tty=1
  build_start=$SECONDS
  if ! cmake --build "$build" -j"$(nproc)" --target quorvel xap-hub cm11a-sim xap-send 2>&1 \
      | tee -a "$build_log" | show_progress "$tty"; then
    echo
    grep -E 'error|Error' "$build_log" | head -n 20 || true
    echo "demo: FAILED: the build failed (whole output in $build_log)"
    exit 1
  fi
  echo "   built in $((SECONDS - build_start)) s (setup took $((SECONDS - started)) s in all)"

  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n -- bash -c 'ip link set lo up && exec bash "$0" --run "$@"' "$0" "${keep_arg[@]}"
  fi
  exec bash "$0" --run "${keep_arg[@]}"
fi

hub_bin="$build/tools/xap-hub/xap-hub"
sim_bin="$build/tools/cm11a-sim/cm11a-sim"
send_bin="$build/tools/xap-send/xap-send"
logs="$build/demo-logs"
app=$(mktemp -d /tmp/quorvel-demo.XXXXXX)
pids=()
finished=0

stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  pids=()
}

# Stops everything, keeps the logs, removes the temporary folder (unless --keep) and prints
# the closing lines; the summary is the very last line.
finish() {  # finish STATUS SUMMARY
  finished=1
  echo "== [7/7] Stopping the connector, the simulator and the hub"
  stop_all
  rm -rf "$logs"
  mkdir -p "$logs"
  cp "$app"/*.log "$logs"/ 2>/dev/null || true
  [ -f "$app/Data/Quorvel.txt" ] && cp "$app/Data/Quorvel.txt" "$logs/Quorvel.txt"
  echo "   logs kept in $logs/:"
  echo "     hub.log (every datagram the xAP hub forwarded), sim.log (the simulator's own lines),"
  echo "     quorvel.log (the connector's reports on standard error), Quorvel.txt (its debug log),"
  echo "     serial.log (the bytes on the serial line); the build's output is in $build/demo-build.log"
  if [ "$keep" = 1 ]; then
    echo "   the demo's application folder stays in $app (settings in Config/, log in Data/)"
  else
    rm -rf "$app"
    echo "   removed the temporary folder $app (run with --keep to keep it)"
  fi
  echo "$2"
  exit "$1"
}

on_exit() {
  local status=$?
  [ "$finished" = 1 ] && return
  finish 1 "demo: FAILED: it stopped early (status $status); see the logs named above"
}
trap on_exit EXIT

wait_for() {  # wait_for FILE TEXT SECONDS
  for _ in $(seq $(( $3 * 10 ))); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "demo: timed out waiting for '$2' in $1" >&2
  return 1
}

sim_command() {  # one control command; prints the answer up to its closing line
  exec 3<>"/dev/tcp/127.0.0.1/$control_port"
  printf '%s\n' "$1" >&3
  while IFS= read -r -t 5 line <&3; do
    case "$line" in
      ok) break ;;
      .|error:*) [ "$line" = . ] || echo "$line"; break ;;
      *) echo "$line" ;;
    esac
  done
  exec 3<&-
}

lamp_on() {  # lamp_on DEVICE: the simulator has it on
  local state
  state=$(sim_command state)
  grep -q "^$1 on " <<<"$state"
}

# xAP messages one a line: "class from source: item=value, ..." (the header's class and
# source, then the items of the body).
condense_xap() {
  awk '
    /^[Xx][Aa][Pp]-header$/ { cls = ""; src = ""; body = ""; inhead = 1; next }
    inhead && tolower($0) ~ /^class=/ { cls = substr($0, 7) }
    inhead && tolower($0) ~ /^source=/ { src = substr($0, 8) }
    /^}$/ { inhead = 0; next }
    /^{$/ { next }
    !inhead && /=/ { body = body (body == "" ? "" : ", ") $0 }
    /^$/ { if (cls != "") printf "   | %s from %s: %s\n", cls, src, body; cls = "" }
    END { if (cls != "") printf "   | %s from %s: %s\n", cls, src, body }'
}

# The serial log with a few words on every byte. The connector ("rx" at the interface)
# sends a header and a code byte, the interface answers their checksum, the connector
# confirms with 00 and the interface says 55 once it has sent the frame on the power line.
explain_serial() {
  awk '
    function hex(s) { return index("0123456789ABCDEF", substr(s, 1, 1)) * 16 - 16 + index("0123456789ABCDEF", substr(s, 2, 1)) - 1 }
    function house(b) { return substr(letters, int(b / 16) + 1, 1) }
    function unit(b) { return units[b % 16] }
    function fname(b) { return names[b % 16] }
    BEGIN {
      letters = "MECKOGAINFDLPHBJ"
      split("13 5 3 11 15 7 1 9 14 6 4 12 16 8 2 10", u, " "); for (i = 1; i <= 16; i++) units[i - 1] = u[i]
      split("all_units_off all_lights_on on off dim bright all_lights_off extended hail_request hail_ack preset_dim_1 preset_dim_2 data_xfer status_on status_off status_request", f, " ")
      for (i = 1; i <= 16; i++) names[i - 1] = f[i]
      sum = -1
    }
    {
      line = $0; what = ""
      if ($1 == "rx" && NF == 3 && hex($2) % 8 >= 4) {
        h = hex($2); c = hex($3); sum = (h + c) % 256; ready = 0
        if (int(h / 2) % 2 == 1) what = sprintf("connector: header %s (a function follows) and %s = house %s, \"%s\"", $2, $3, house(c), fname(c))
        else what = sprintf("connector: header %s (an address follows) and %s = %s%s", $2, $3, house(c), unit(c))
        if (int(h / 8) > 0) what = what sprintf(", %d dim steps", int(h / 8))
      } else if ($1 == "rx" && $2 == "00" && NF == 2) {
        what = "connector: 00 = OK, the checksum was right, go ahead"; sum = -1; ready = 1
      } else if ($1 == "rx" && $2 == "C3" && NF == 2) {
        what = "connector: C3 = answer to the poll, send what you heard"; upload = 1
      } else if ($1 == "rx" && $2 == "9B") {
        what = "connector: 9B = start of a clock message (answers a power-fail request; sent when the link opens)"
      } else if ($1 == "tx" && NF == 2 && sum >= 0 && hex($2) == sum) {
        what = sprintf("interface: checksum %s = header + code, lowest 8 bits", $2); sum = -1
      } else if ($1 == "tx" && NF == 2 && $2 == "55") {
        what = "interface: 55 = ready, the frame went out on the power line"; ready = 0
      } else if ($1 == "tx" && NF == 2 && $2 == "5A") {
        what = "interface: 5A = poll, it heard traffic on the power line and holds it for the computer"
      } else if ($1 == "tx" && NF == 2 && $2 == "A5") {
        what = "interface: A5 = power-fail request, it wants the clock (9B ...)"
      } else if ($1 == "tx" && upload && NF >= 3) {
        upload = 0; mask = hex($3)
        what = sprintf("interface: the upload: length %s (bytes that follow), mask %s (which data bytes are functions)", $2, $3)
        prev = -1
        for (i = 4; i <= NF; i++) {
          b = hex($i); isf = int(mask / (2 ^ (i - 4))) % 2
          if (prev == 4 || prev == 5) { what = what sprintf("; %s = brightness %d of 210", $i, b); prev = -1; continue }
          if (isf) { what = what sprintf("; %s = house %s \"%s\"", $i, house(b), fname(b)); prev = b % 16 }
          else { what = what sprintf("; %s = address %s%s", $i, house(b), unit(b)); prev = -1 }
        }
      }
      if (what == "") what = ($1 == "rx" ? "connector" : "interface") ": other bytes"
      printf "   %-16s %s\n", line, what
    }'
}

echo "== [3/7] Starting the xAP hub, the CM11A simulator and the connector on loopback"
"$hub_bin" --verbose >"$app/hub.log" 2>&1 &
pids+=($!)
wait_for "$app/hub.log" "listening" 10

"$sim_bin" --tcp-port 0 --control-port 0 >"$app/sim.log" 2>&1 &
pids+=($!)
wait_for "$app/sim.log" "cm11a-sim ready" 10
ready=$(grep -m1 "cm11a-sim ready" "$app/sim.log")
tcp=$(sed -E 's/.*tcp=([^ ]+).*/\1/' <<<"$ready")
control_port=$(sed -E 's/.*control=127\.0\.0\.1:([0-9]+).*/\1/' <<<"$ready")

mkdir -p "$app/Config"
printf '[General]\r\nComPort=%s\r\nDebug=1\r\n' "$tcp" >"$app/Config/Quorvel.ini"
printf '[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n' >"$app/Config/zebXap.ini"

"$build/quorvel" --headless --app-folder "$app" >"$app/quorvel.log" 2>&1 &
pids+=($!)
wait_for "$app/hub.log" "Using xAP port" 30
# The link is open once the connector has answered the simulator's possible power failure.
for _ in $(seq 100); do grep -q "^rx 9B" <<<"$(sim_command log)" && break; sleep 0.1; done
echo "   hub on 127.0.0.1:3639; simulator on $tcp (the connector's ComPort); connector running headless"

echo
echo "== [4/7] An xAP client asks for A1 and A2 on:"
echo "   xap-send --class xAP-X10.request --target 'zeb.CM11A.*' --block xAP-X10.request device=A1,A2 command=on"
echo "   The connector announces each command on the xAP network (class xAP-x10.Event) just"
echo "   before it sends it to the interface; these are the messages xap-send heard back:"
"$send_bin" --class xAP-X10.request --target 'zeb.CM11A.*' --block xAP-X10.request \
  device=A1,A2 command=on --listen 3 | condense_xap
# Each command takes about a second on the power line (less with a fast simulator).
lamps=0
for _ in $(seq 150); do
  if lamp_on A1 && lamp_on A2; then lamps=1; break; fi
  sleep 0.1
done
echo "   The simulator's lamps now (device, on/off, brightness in percent):"
sim_command state | sed 's/^/   | /'

echo
echo "== [5/7] Someone presses a wall switch for B3: the simulator hears 'B3 on' on the power line"
echo "   We send an echo query (class WDT.Echo, the xAP way to ask \"are you there?\") and listen"
echo "   for 5 s: the connector answers it (Echo.Response), then announces what the interface"
echo "   heard as an xAP-x10.Event with Device=B3:"
( sleep 0.5; sim_command "hear B3 on" >/dev/null ) &
"$send_bin" --class WDT.Echo --block Echo.Query Query=demo --listen 5 | condense_xap
heard=0
if wait_for "$app/hub.log" "Device=B3" 20 2>/dev/null; then heard=1; fi

echo
echo "== [6/7] The bytes on the serial line, with what each one means"
echo "   (rx: received by the interface, from the connector; tx: sent by the interface):"
sim_command log >"$app/serial.log"
explain_serial <"$app/serial.log" | sed -n '1,60p'

if [ "$lamps" = 1 ] && [ "$heard" = 1 ]; then
  finish 0 "demo: PASSED: lamps A1 and A2 were switched on through xAP, and the wall switch B3 was heard and announced"
fi
problems=()
[ "$lamps" = 1 ] || problems+=("lamps A1 and A2 were not both switched on")
[ "$heard" = 1 ] || problems+=("the wall switch B3 was not announced on xAP")
finish 1 "demo: FAILED: $(IFS=';'; echo "${problems[*]}" | sed 's/;/ and /g')"
