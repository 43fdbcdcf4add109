#!/bin/sh
# Runs one libFuzzer target for $DOSSAR_FUZZ_SECONDS seconds, read now rather
# than when the build was configured.
#   run-fuzzer.sh <default seconds> <fuzzer> [libFuzzer arguments...]
set -eu
default=$1
fuzzer=$2
shift 2
seconds=${DOSSAR_FUZZ_SECONDS:-$default}
case "$seconds" in
  '' | *[!0-9]* | 0)
    echo "run-fuzzer.sh: DOSSAR_FUZZ_SECONDS must be a positive number of seconds, not '$seconds'" >&2
    exit 2
    ;;
esac
# libFuzzer stops itself after -max_total_time; the outer limit only catches a
# run that never gets going (a hang before the first input, a stuck exit).
exec timeout --kill-after=10 $((seconds + 120)) "$fuzzer" -max_total_time="$seconds" "$@"
