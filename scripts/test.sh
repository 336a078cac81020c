#!/usr/bin/env bash
# Sets up, builds and runs every test: the README's test command, and exactly what CI runs.
#
# Stages, in order (LUMORA_TEST_STAGES picks a subset, e.g. "debug node"):
#   debug  the debug build and its CTest suite
#   node   Quillon driven by a real MCP client (tests/mcp-client), against the debug build
#   asan   the CTest suite under address and undefined-behaviour sanitizers
#   tsan   the CTest suite under the thread sanitizer
#   fuzz   every libFuzzer target for a bounded time (LUMORA_FUZZ_SECONDS, default 30)
set -euo pipefail
cd "$(dirname "$0")/.."

stages=${LUMORA_TEST_STAGES:-debug node asan tsan fuzz}
jobs=$(nproc)

bash scripts/install-deps.sh

run_suite() {  # preset
  echo "==== $1: build"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  echo "==== $1: tests"
  ctest --preset "$1" -j "$jobs"
}

for stage in $stages; do
  case $stage in
    debug|asan|tsan)
      # A sanitizer report must fail the run, not scroll past.
      export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
      export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
      export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
      run_suite "$stage" ;;
    node)
      if [[ -x tests/mcp-client/run.sh ]]; then
        echo "==== node: MCP client tests"
        LUMORA_BUILD_DIR=$PWD/build tests/mcp-client/run.sh
      fi ;;
    fuzz)
      if compgen -G "fuzz/*/CMakeLists.txt" >/dev/null; then
        echo "==== fuzz: build"
        cmake --preset fuzz >/dev/null
        cmake --build --preset fuzz --target fuzzers -j "$jobs"
        bash scripts/run-fuzzers.sh build-fuzz "${LUMORA_FUZZ_SECONDS:-30}"
      fi ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
done
echo "==== all stages passed: $stages"
