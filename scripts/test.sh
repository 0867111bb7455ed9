#!/usr/bin/env bash
# Builds and runs the whole test suite: debug and AddressSanitizer+UBSan builds run every test,
# the ThreadSanitizer build runs the threading (integration) tests, and the stack's libraries are
# built once with clang's lock checks (nothing runs there). No display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lintaker_install_missing

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
jobs=$(nproc)
started=$SECONDS

run_preset() {
    local preset=$1; shift
    echo "=== ${preset} ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" "$@"
}

# Lock annotations: the stack's libraries only (the preset's targets), with clang's thread-safety
# analysis as errors. First, as it is short and a wrong lock fails it without a test to run.
run_preset thread-safety

run_preset debug
ctest --test-dir build/debug --output-on-failure -j "$jobs"

run_preset asan-ubsan
ctest --test-dir build/asan-ubsan --output-on-failure -j "$jobs"

# ThreadSanitizer: only the threading tests are built and run.
run_preset tsan --target lintaker_integration_tests
if ctest --test-dir build/tsan -N -L integration | grep -q "Total Tests: [1-9]"; then
    ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L integration
fi

echo "All test runs passed in $((SECONDS - started)) s."
