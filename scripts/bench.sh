#!/usr/bin/env bash
# Builds and runs the benchmarks: the end-to-end measurement (hub + connector + a simulated
# CM11A on loopback) and the Google Benchmark programs. Only prints figures.
#
#   bash scripts/bench.sh [e2e_bench options, e.g. --requests 50 --flood-seconds 5]
#
# As root the end-to-end program runs itself inside a private network namespace (only 'lo');
# otherwise it needs port 3639 on 127.0.0.1 free. Everything it sends goes to 127.0.0.0/8.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${QUORVEL_BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${QUORVEL_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2 --target e2e_bench xap_bench ini_tool_bench >/dev/null

echo "== end to end ($build/bench/e2e_bench $*)"
status=0
"$build/bench/e2e_bench" "$@" || status=$?
for b in xap_bench ini_tool_bench; do
  echo
  echo "== $b"
  "$build/bench/$b"
done
exit "$status"
