#!/usr/bin/env bash
# Configures and builds one configuration:
#   scripts/build.sh test      -> build-test/    (ASan + UBSan, every test)
#   scripts/build.sh tsan      -> build-tsan/    (ThreadSanitizer, g++, the tests that start threads)
#   scripts/build.sh rtest     -> build-rtest/   (optimised as released, the unit and e2e tests)
#   scripts/build.sh release   -> build-release/ (optimised, benchmarks)
#   scripts/build.sh fuzz      -> build-fuzz/    (clang, libFuzzer targets of the parsers)
#   scripts/build.sh ct        -> build-ct/      (no sanitizers, constant-time check under valgrind)
# Each configuration builds only what its stage of scripts/test.sh runs; unity
# batches and the tests' precompiled header (cmake/ProjectFlags.cmake) keep
# each one short.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-test}
jobs=${JOBS:-$(nproc)}
# The sanitizer and fuzz builds are for finding faults, not for speed: -O1
# with line tables only (stack traces keep file and line) builds in about
# half the time of -O2 -g, which keeps the whole test command short.
checked_flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")
case "$kind" in
  test)
    cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DDOSSAR_SANITIZE=ON -DDOSSAR_TESTS=ON -DDOSSAR_BENCH=OFF "${checked_flags[@]}" \
      -DDOSSAR_TEST_LABELS=".*" -DDOSSAR_TESTS_THREADED_ONLY=OFF >/dev/null
    cmake --build build-test -j "$jobs"
    ;;
  tsan)
    # ThreadSanitizer reports only what two threads do: the tests that start
    # threads or processes (cmake/ProjectFlags.cmake, dossar_test) and the
    # libraries they link.
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DDOSSAR_TSAN=ON -DDOSSAR_SANITIZE=OFF -DDOSSAR_TESTS=ON -DDOSSAR_BENCH=OFF "${checked_flags[@]}" \
      -DDOSSAR_TEST_LABELS="unit|stress|gui" -DDOSSAR_TESTS_THREADED_ONLY=ON >/dev/null
    cmake --build build-tsan -j "$jobs" --target dossar_tests
    ;;
  rtest)
    # The optimised build with the unit and e2e tests: -O3 finds what -O1
    # hides (inlined assembly, optimiser assumptions, timing-dependent code).
    cmake -S . -B build-rtest -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DDOSSAR_SANITIZE=OFF -DDOSSAR_TESTS=ON -DDOSSAR_BENCH=OFF \
      -DDOSSAR_TEST_LABELS="unit|e2e|gui" -DDOSSAR_TESTS_THREADED_ONLY=OFF >/dev/null
    cmake --build build-rtest -j "$jobs"
    ;;
  release)
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DDOSSAR_SANITIZE=OFF -DDOSSAR_TESTS=OFF -DDOSSAR_BENCH=ON >/dev/null
    cmake --build build-release -j "$jobs"
    ;;
  fuzz)
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DDOSSAR_FUZZ=ON -DDOSSAR_TESTS=OFF -DDOSSAR_BENCH=OFF "${checked_flags[@]}" >/dev/null
    # The fuzzers and the parser libraries they link, nothing else.
    cmake --build build-fuzz -j "$jobs" --target dossar_fuzzers
    ;;
  ct)
    cmake -S . -B build-ct -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DDOSSAR_SANITIZE=OFF -DDOSSAR_TESTS=OFF -DDOSSAR_BENCH=OFF -DDOSSAR_CT=ON \
      -DDOSSAR_TEST_HOOKS=ON >/dev/null
    cmake --build build-ct -j "$jobs" --target ct_check
    ;;
  *)
    echo "usage: $0 test|tsan|rtest|release|fuzz|ct" >&2
    exit 2
    ;;
esac
