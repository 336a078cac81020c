#!/usr/bin/env bash
# Sets up, builds and runs every test: the README's test command, and exactly what CI runs.
#
# Stages, in order (LUMORA_TEST_STAGES picks a subset, e.g. "debug node"):
#   debug  the debug build and its CTest suite
#   node   Quillon driven by a real MCP client (tests/mcp-client), against the debug build
#   desktop  Lumora of the debug build recording real desktops through vantor (tests/desktop): a
#          headless Wayland desktop with the screen-cast portal, Xvfb, and no display at all
#   package  the Debian package made from the debug build: contents, lintian, manual pages,
#          installed with dpkg, run from the PATH, completions, purged (tests/package)
#   asan   the CTest suite under address and undefined-behaviour sanitizers
#   tsan   the CTest suite under the thread sanitizer
#   fuzz   every libFuzzer target for a bounded time (LUMORA_FUZZ_SECONDS, default 30)
set -euo pipefail
cd "$(dirname "$0")/.."

stages=${LUMORA_TEST_STAGES:-debug node desktop package asan tsan fuzz}
jobs=$(nproc)

bash scripts/install-deps.sh

run_suite() {  # preset
  # Called where errexit does not apply, so each step stops the stage itself.
  echo "==== $1: build"
  cmake --preset "$1" >/dev/null || return
  cmake --build --preset "$1" -j "$jobs" || return
  echo "==== $1: tests"
  # shellcheck disable=SC2086  # LUMORA_CTEST_ARGS holds several words, e.g. "-LE end-to-end"
  ctest --preset "$1" -j "$jobs" ${LUMORA_CTEST_ARGS:-}
}

# Sanitizer reports also come from processes that no test waits for (the app that a helper
# launches detached, with its output on /dev/null), so every report is written to a file as
# well and any file found after the suite fails the stage.
sanitizer_reports() {  # directory
  if compgen -G "$1/*" >/dev/null; then
    echo "==== sanitizer reports:" >&2
    for report in "$1"/*; do echo "---- $report" >&2; head -n 80 "$report" >&2; done
    return 1
  fi
}

# Options given from outside win; the defaults name each stage's own report directory.
given_asan=${ASAN_OPTIONS-} given_ubsan=${UBSAN_OPTIONS-} given_tsan=${TSAN_OPTIONS-}

for stage in $stages; do
  started=$SECONDS
  case $stage in
    debug|asan|tsan)
      # A sanitizer report must fail the run, not scroll past.
      reports=$PWD/build-$stage-reports
      rm -rf "$reports" && mkdir -p "$reports"
      export ASAN_OPTIONS=${given_asan:-abort_on_error=1:detect_leaks=1:log_path=$reports/asan}
      export UBSAN_OPTIONS=${given_ubsan:-print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan}
      export TSAN_OPTIONS=${given_tsan:-halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan}
      status=0
      run_suite "$stage" || status=$?
      sanitizer_reports "$reports" || status=1
      ((status == 0)) || exit $status ;;
    node)
      if [[ -x tests/mcp-client/run.sh ]]; then
        echo "==== node: MCP client tests"
        LUMORA_BUILD_DIR=$PWD/build tests/mcp-client/run.sh
      fi ;;
    desktop)
      echo "==== desktop: install and build"
      bash scripts/desktop/install.sh
      # Already built by the debug stage; this only makes the stage runnable on its own.
      cmake --preset debug >/dev/null
      cmake --build --preset debug -j "$jobs" --target Lumora vantor >/dev/null
      echo "==== desktop: Lumora recording real desktops"
      # The tests need a private mount namespace, hence root.
      runner=()
      [[ $(id -u) -eq 0 ]] || runner=(sudo --preserve-env=LUMORA_BUILD_DIR)
      LUMORA_BUILD_DIR=$PWD/build "${runner[@]}" tests/desktop/run.sh ;;
    package)
      echo "==== package: Debian package"
      bash scripts/install-deps.sh lintian desktop-file-utils man-db bash-completion zsh fish
      # From the debug build when the debug stage has made it; alone, the stage configures it.
      [[ -f build/CMakeCache.txt ]] || cmake --preset debug >/dev/null
      LUMORA_BUILD_DIR=$PWD/build tests/package/run.sh ;;
    fuzz)
      if compgen -G "fuzz/*/CMakeLists.txt" >/dev/null; then
        echo "==== fuzz: build"
        cmake --preset fuzz >/dev/null
        cmake --build --preset fuzz --target fuzzers -j "$jobs"
        bash scripts/run-fuzzers.sh build-fuzz "${LUMORA_FUZZ_SECONDS:-30}"
      fi ;;
    *) echo "unknown stage: $stage" >&2; exit 2 ;;
  esac
  # Each stage's share of the run's time budget.
  echo "==== $stage: passed in $((SECONDS - started)) s"
done
echo "==== all stages passed: $stages"
