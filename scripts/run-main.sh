#!/usr/bin/env bash
# The main job. Builds the optimised configuration, takes one file through the
# toolkit end to end (a test PKI and key container in a scratch folder; sign,
# verify, encrypt, decrypt; who signed, when, the chain verdict and the
# throughput of each step), then prints the throughput of the algorithms.
# A failed round trip fails the job before any benchmark runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
log=$(mktemp)
token_run=build-release/vxsdk-pcscd
stamp_dir=$(mktemp -d)
scratch=$(mktemp -d)
# The private pcscd of the token readers lives only while this job runs.
trap 'rm -f "$log"; rm -rf "$stamp_dir" "$scratch"; tests/vxsdk/pcscd_harness.sh stop "$token_run" >/dev/null 2>&1 || true' EXIT
echo "Building the optimised configuration (build-release/)..."
if ! scripts/build.sh release >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
roundtrip=build-release/tools/roundtrip/dossar-roundtrip
echo "== dossar-roundtrip (sign, verify, encrypt, decrypt through the toolkit)"
if [ ! -x "$roundtrip" ]; then
  echo "FAILED: $roundtrip was not built" >&2
  exit 1
fi
if ! "$roundtrip" --size "${DOSSAR_ROUNDTRIP_MIB:-64}" | tee "$stamp_dir/roundtrip.out"; then
  echo "FAILED: the end-to-end round trip did not complete (see the message above)" >&2
  exit 1
fi
echo "== token readers (the token SDK over a private pcscd, vpcd and the card emulator)"
# Started when it can be (root, the packages, no other pcscd); otherwise the
# reason is printed and the job goes on. CI=true would make that a failure.
harness_rc=0
harness_out=$(CI= tests/vxsdk/pcscd_harness.sh start "$token_run" build-release/bench/vxsdk/card-emulator 2>&1) ||
  harness_rc=$?
if [ $harness_rc -eq 0 ]; then
  echo "$harness_out"
  build-release/bench/vxsdk/vxsdk-probe || echo "FAILED: the token SDK could not read the emulator's token" >&2
else
  echo "The private pcscd was not started: ${harness_out#SKIPPED: }"
fi
# The verification stamp of the round trip's signature, printed through the
# printing library into a PDF (offscreen, no printer), read back by pdftotext.
echo "== vtpagina-print (verification stamp of the round trip's signature)"
signer=$(grep -m1 '^signer:' "$stamp_dir/roundtrip.out" || true)
if [ -z "$signer" ]; then
  echo "FAILED: the round trip printed no signer line" >&2
  exit 1
fi
printf '\n1. %s, подпись подтверждена\n' "$signer" >"$stamp_dir/signatures.txt"
if ! QT_QPA_PLATFORM=offscreen build-release/bin/vtpagina-print --template printing/templates/stamp.txt \
    --signature-list "dossar-roundtrip" --signatures "$stamp_dir/signatures.txt" --pdf "$stamp_dir/stamp.pdf"; then
  echo "FAILED: the verification stamp was not printed" >&2
  exit 1
fi
pdftotext -layout "$stamp_dir/stamp.pdf" "$stamp_dir/stamp.txt"
head -n 12 "$stamp_dir/stamp.txt"
# The engine's operations over the same kind of scratch user: the round trip
# writes a settings tree with its executor, CA and CRL folder, then dsengine
# signs and encrypts a 64 MiB file through it. A failure fails the job.
dsengine=build-release/tools/dsengine/dsengine
echo "== dsengine (sign and encrypt a 64 MiB file through the engine)"
mkdir -p "$scratch/docs" "$scratch/tmp" "$scratch/data"
export DOSSAR_REGISTRY_DB="$scratch/registry.db" TMPDIR="$scratch/tmp" XDG_DATA_HOME="$scratch/data"
if ! "$roundtrip" --size 1 --keep "$scratch/pki" --registry >"$log" 2>&1; then
  cat "$log"
  echo "FAILED: the scratch settings tree was not written" >&2
  exit 1
fi
head -c $((64 << 20)) /dev/urandom >"$scratch/docs/file.bin"
for op in "sign --detached" "encrypt --recipient=executor"; do
  # shellcheck disable=SC2086 # the operation and its options are separate words
  if ! out=$("$dsengine" $op "$scratch/docs/file.bin" 2>"$log"); then
    cat "$log"
    echo "$out"
    echo "FAILED: dsengine $op" >&2
    exit 1
  fi
  echo "dsengine ${op%% *}: $out"
done
unset DOSSAR_REGISTRY_DB TMPDIR XDG_DATA_HOME
shopt -s nullglob
benches=(build-release/bench/*/bench_*)
if [ ${#benches[@]} -eq 0 ]; then
  echo "No benchmarks are built yet."
  exit 0
fi
for b in "${benches[@]}"; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  taskset -c 0 "$b" --benchmark_min_time=0.2 "$@" || "$b" --benchmark_min_time=0.2 "$@"
done
