# Shared by the bench scripts (sourced, after they re-ran themselves in a namespace): a
# temporary folder, children ended by their PIDs on exit, and a bounded wait for a log line.

dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT

# Waits up to $2 tenths of a second for grep -q $1 in file $3.
wait_for() {
  for _ in $(seq "$2"); do grep -q -- "$1" "$3" 2>/dev/null && return 0; sleep 0.1; done
  echo "timed out waiting for '$1' in $3" >&2
  return 1
}

# Starts the connector ($1) in the application folder $2 on the CM11A at 127.0.0.1:$3 and
# waits for it to run; its PID in q.
start_connector() {
  mkdir -p "$2/Config"
  printf '[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n' >"$2/Config/zebXap.ini"
  printf '[General]\r\nComPort=127.0.0.1:%s\r\nDebug=1\r\n' "$3" >"$2/Config/Quorvel.ini"
  "$1" --headless --app-folder "$2" >"$2/out" 2>"$2/err" &
  q=$!
  pids+=($q)
  wait_for "Using xAP port" 100 "$2/err"
}
