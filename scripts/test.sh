#!/usr/bin/env bash
# Builds everything and runs the tests twice: a plain build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer. Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DTOVRA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 900
}

run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTOVRA_SANITIZE=ON

# Crash consistency: a third, small build with fault injection compiled into the platform layer,
# of only the crash tests (an installer killed or failed at each durable step).
cmake -S . -B build/crash -G Ninja -DTOVRA_WERROR=ON -DTOVRA_FAULT_INJECTION=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/crash -j "$jobs" --target crash_tests
ctest --test-dir build/crash -R '^(CrashConsistency|FaultInjection|FaultChecks)\.' -j "$jobs" --output-on-failure --timeout 600
