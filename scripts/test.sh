#!/usr/bin/env bash
# Builds everything and runs all tests (unit and integration). Usage: scripts/test.sh [BUILD_DIR]
#
# QUORVEL_CMAKE_ARGS adds CMake options (CI passes -DQUORVEL_WERROR=ON, the sanitizer run
# -DQUORVEL_SANITIZE=ON); QUORVEL_CTEST_ARGS adds CTest options (for example "-L unit").
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
jobs="$(nproc)"

cat <<EOF
== Quorvel tests: builds the connector, its test tools (xap-hub, cm11a-sim, xap-send), the
   benchmarks and the tests into $build/, then runs every unit test (simulated time) and
   integration test (the real programs on loopback) with CTest.
   On a 2-core machine: about 3 minutes of build from scratch when idle (15 when busy with
   other builds), under a minute after a few changes; then about a minute of tests.
EOF

bash scripts/install-deps.sh

echo "== configuring $build/"
mkdir -p "$build"
if ! cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${QUORVEL_CMAKE_ARGS:-} >"$build/configure.log" 2>&1; then
  cat "$build/configure.log"
  echo "== configuring failed (output above, kept in $build/configure.log)"
  exit 1
fi

echo "== building with $jobs jobs"
cmake --build "$build" -j"$jobs"

echo "== running the tests"
out="$build/Testing/ctest-output.txt"
mkdir -p "$build/Testing"
status=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300 ${QUORVEL_CTEST_ARGS:-} 2>&1 | tee "$out" \
  || status=$?

echo
if [ "$status" -eq 0 ]; then
  echo "== all tests passed"
  grep -E 'tests passed|Total Test time' "$out" || true
  exit 0
fi

# Each failing test's own output, cut out of CTest's full log, one file per test.
log="$build/Testing/Temporary/LastTest.log"
failed_dir="$build/Testing/Failed"
rm -rf "$failed_dir"
mkdir -p "$failed_dir"
if [ -f "$log" ] && [ -f "$build/Testing/Temporary/LastTestsFailed.log" ]; then
  while IFS=: read -r _ name; do
    [ -n "$name" ] || continue
    file="$failed_dir/$(printf '%s' "$name" | tr -c 'A-Za-z0-9._-' '_').log"
    awk -v name="$name" '
      $0 ~ /^[0-9]+\/[0-9]+ Testing: / { line = $0; sub(/^[0-9]+\/[0-9]+ Testing: /, "", line); keep = (line == name) }
      keep { print }
      keep && /^"[^"]*" end time:/ { keep = 0 }' "$log" >"$file"
    echo "   failed: $name"
    echo "           output: $file"
    echo "           again:  ctest --test-dir $build -R '^${name}\$' --output-on-failure"
  done <"$build/Testing/Temporary/LastTestsFailed.log"
fi
echo "   all test output: $log"
echo "== CTest's summary:"
sed -n '/tests passed/,$p' "$out"
exit "$status"
