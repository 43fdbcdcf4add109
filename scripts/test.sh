#!/usr/bin/env bash
# Builds with AddressSanitizer + UndefinedBehaviorSanitizer and runs every test,
# then the constant-time check under valgrind, then fuzzes the parsers of
# untrusted bytes briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh test
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-test --output-on-failure -j "$(nproc)" "$@"
# Constant-time check: the secret paths under valgrind, in their own build.
scripts/build.sh ct
ctest --test-dir build-ct --output-on-failure -j "$(nproc)" -L ct
# The parsers of untrusted bytes, each fuzzed for a short while (DOSSAR_FUZZ_SECONDS).
scripts/build.sh fuzz
ctest --test-dir build-fuzz --output-on-failure -j "$(nproc)" -L fuzz
