#!/usr/bin/env bash
# The test command. Runs every stage, prints the CPU time of each, and fails
# when any stage failed:
#   format   clang-format check of the sources (scripts/check-format.sh)
#   asan     build-test/: AddressSanitizer + UBSan, every test (labels unit, stress, e2e)
#   tsan     build-tsan/: ThreadSanitizer (g++), the unit and stress tests that
#            start threads or processes (the others give it nothing to see)
#   release  build-rtest/: the optimised (-O3) build of the product, the unit and e2e tests
#   ct       build-ct/: the secret paths under valgrind with the secrets marked
#            undefined; fails on a secret-dependent branch or address
#   fuzz     build-fuzz/: each parser fuzzed for its own time (6-20 s, where its
#            coverage levels off) or DOSSAR_FUZZ_SECONDS
#   tidy     clang-tidy over the product's code and the shared test helpers
# Arguments go to the ctest runs of the asan, tsan and release stages (e.g. -R Gost).
# At the end it prints the total and whether the command fits its budget: 45
# minutes of wall time on a 2-core machine (docs/ARCHITECTURE.md, "Build
# configurations"), projected from what was measured here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# A race makes the test fail (exit code 66) after every report is printed.
export TSAN_OPTIONS=${TSAN_OPTIONS:-second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}

stage_format() { scripts/check-format.sh; }
stage_asan() { scripts/build.sh test && ctest --test-dir build-test --output-on-failure -j "$jobs" "$@"; }
stage_tsan() {
  scripts/build.sh tsan && ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L 'unit|stress|gui' "$@"
}
stage_release() { scripts/build.sh rtest && ctest --test-dir build-rtest --output-on-failure -j "$jobs" -L 'unit|e2e|gui' "$@"; }
stage_ct() { scripts/build.sh ct && ctest --test-dir build-ct --output-on-failure -j "$jobs" -L ct; }
stage_fuzz() { scripts/build.sh fuzz && ctest --test-dir build-fuzz --output-on-failure -j "$jobs" -L fuzz; }
# The product's code and the shared test helpers. The test suites themselves
# (held by -Werror -Wshadow and the sanitizers) cost as much again to parse as
# the product, which would take the command past its budget on 2 cores: run
# `scripts/check-tidy.sh tests bench` by hand when changing them.
stage_tidy() { scripts/check-tidy.sh crypto platform quillon2 dsutils vxsdk printing tools stand-ins tests/support tests/stress; }

failed=()
summary=()
cores=$(nproc)
total_cpu=0
total_wall=0
# Projected wall time on 2 cores, in tenths of a second (integer shell
# arithmetic): see below.
projected=0
clock=$(mktemp)
trap 'rm -f "$clock"' EXIT
for stage in format asan tsan release ct fuzz tidy; do
  echo "===== $stage"
  # The children's CPU time (second line of `times`, taken in this shell,
  # not in a subshell) counts every finished process, so its growth over a
  # stage is that stage's CPU time.
  times >"$clock"
  before=$(tail -n 1 "$clock")
  start=$SECONDS
  rc=0
  "stage_$stage" "$@" || rc=$?
  times >"$clock"
  after=$(tail -n 1 "$clock")
  cpu=$(awk -v a="$before" -v b="$after" 'function s(t,  m, x) { split(t, m, /[ms]/); return m[1] * 60 + m[2] }
    BEGIN { split(a, x, " "); split(b, y, " "); printf "%.0f", s(y[1]) + s(y[2]) - s(x[1]) - s(x[2]) }')
  wall=$((SECONDS - start))
  line="$stage: $([ $rc -eq 0 ] && echo passed || echo FAILED), $wall s wall, $cpu s CPU"
  total_cpu=$((total_cpu + cpu))
  total_wall=$((total_wall + wall))
  # A stage of W s wall and C s CPU on n cores is taken as a serial part s
  # (one process at a time: configuring, the last links, the longest test)
  # and a part that keeps every core busy: W = s + (C - s)/n, so
  # s = (nW - C)/(n - 1). On 2 cores it takes s + (C - s)/2. Time spent with
  # 2..n-1 processes counts as serial, and so does waiting for other work on
  # the machine: the projection errs long. On 2 cores or fewer it is W.
  if [ "$cores" -le 2 ]; then
    projected=$((projected + 10 * wall))
  else
    serial=$(((cores * wall - cpu) * 10 / (cores - 1)))
    [ "$serial" -ge 0 ] || serial=0
    [ "$serial" -le $((10 * wall)) ] || serial=$((10 * wall))
    projected=$((projected + serial + (10 * cpu - serial) / 2))
  fi
  echo "===== $line"
  summary+=("$line")
  [ $rc -eq 0 ] || failed+=("$stage")
done

echo "===== summary"
printf '  %s\n' "${summary[@]}"
echo "  total: $total_wall s wall, $total_cpu s CPU on $cores cores"
# The budget: 45 minutes (2700 s) of wall time on 2 cores.
budget=2700
minutes=$(awk -v p="$projected" 'BEGIN { printf "%.0f", p / 600 }')
if [ $((projected / 10)) -le $budget ]; then
  echo "  fits the 45-minute budget on 2 cores (projected $minutes min)"
else
  echo "  does NOT fit the 45-minute budget on 2 cores (projected $minutes min)"
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "all stages passed"
