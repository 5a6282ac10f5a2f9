#!/usr/bin/env bash
# Builds the fuzz targets in fuzz/ with clang's libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/, then runs each for SECONDS (default 60).
#
#   bash scripts/fuzz.sh [SECONDS]
#
# Each target starts from its committed seeds (fuzz/corpus/<target>/) plus what earlier runs
# found (build-fuzz/corpus/<target>/). A crash stops the script with status 1; the input that
# caused it is saved under build-fuzz/crashes/ and can be replayed with
# "build-fuzz/fuzz/fuzz_<target> FILE". Without clang and libFuzzer it says so and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
case "$seconds" in ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;; esac
build="${QUORVEL_FUZZ_BUILD_DIR:-build-fuzz}"
cxx="${QUORVEL_FUZZ_CXX:-clang++}"
targets=(xap_message ini_tool cm11a_engine typed_command)

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "fuzz: $cxx not found; the fuzz targets are skipped (install clang to run them)"
  exit 0
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$probe/p.cpp"
if ! "$cxx" -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
  echo "fuzz: $cxx cannot link libFuzzer (-fsanitize=fuzzer); the fuzz targets are skipped"
  exit 0
fi

echo "== fuzz: building ${targets[*]/#/fuzz_} with $cxx into $build/"
mkdir -p "$build"
CXX="$cxx" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_FUZZ=ON -DQUORVEL_SANITIZE=ON \
  -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=OFF >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; echo "fuzz: configuring failed (output above)"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
mkdir -p "$build/crashes"
# The INI target writes its files below TMPDIR; libFuzzer ends without running exit handlers,
# so the folder is cleared here.
case "$build" in /*) export TMPDIR="$build/tmp" ;; *) export TMPDIR="$PWD/$build/tmp" ;; esac
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  log="$build/fuzz_$t.log"
  echo "== fuzz_$t: $seconds s"
  if "$build/fuzz/fuzz_$t" "$corpus" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=20 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "   no crash; ${execs:-?} runs, $(find "$corpus" -type f | wc -l) inputs in $corpus"
  else
    status=1
    grep -m1 -E 'check failed|ERROR|runtime error|deadly signal' "$log" || true
    sed -n 's/^.*Test unit written to /   input that crashed it: /p' "$log"
    echo "   whole output: $log"
  fi
done
rm -rf "$TMPDIR"
[ "$status" -eq 0 ] && echo "== fuzz: no crash in ${#targets[@]} targets" || echo "== fuzz: CRASH (see above)"
exit "$status"
