#!/usr/bin/env bash
# clang-tidy over the project's own code with the checks of .clang-tidy (the
# static analyzer, bugprone-*, concurrency-*), every finding an error.
# Arguments narrow the run to some files or folders:
#   scripts/check-tidy.sh                  # everything
#   scripts/check-tidy.sh crypto/ec        # one folder
# The libraries (crypto/, platform/, stand-ins/) get every check. Tests and
# benchmarks skip the static analyzer, which costs several times more on
# GoogleTest's macros than on the code under test and whose findings there
# were benchmark-loop dead stores, and concurrency-mt-unsafe: tests set
# environment variables on purpose while no other thread runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# clang-tidy 22: it skips the system headers' declarations that 14 walked for
# every check, and runs the same checks in about 60% of the CPU time.
tidy=${CLANG_TIDY:-clang-tidy-22}
jobs=${JOBS:-$(nproc)}
build=build-tidy
for tool in "$tidy" clang++; do
  if ! command -v "$tool" >/dev/null; then
    echo "check-tidy: $tool not found (scripts/install-deps.sh installs it)" >&2
    exit 2
  fi
done

# A configuration of its own, configured only (nothing is built): every flag
# in it is clang's, and its compile database lists the tests and benchmarks.
# No unity batches and no precompiled header: the database must name each real
# source with its own flags, and nothing is built to make the header from.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDOSSAR_TESTS=ON -DDOSSAR_BENCH=ON -DDOSSAR_SANITIZE=OFF -DDOSSAR_UNITY=OFF -DDOSSAR_PCH=OFF \
  -DDOSSAR_TEST_LABELS=".*" -DDOSSAR_TESTS_THREADED_ONLY=OFF >/dev/null

# The translation units of the repository (each once: the stand-ins compile a
# shared source into several libraries).
mapfile -t units < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
  sed "s|^$root/||" | grep -E '^(crypto|platform|quillon2|stand-ins|dsutils|vxsdk|printing|tests|bench|tools/vtpagina-print|tools/vxsdk-tool)/' | sort -u)
if [ $# -gt 0 ]; then
  mapfile -t units < <(printf '%s\n' "${units[@]}" | grep -E "^($(printf '%s|' "$@" | sed 's/|$//'))" || true)
fi
if [ ${#units[@]} -eq 0 ]; then
  echo "check-tidy: no files to check" >&2
  exit 2
fi
# Largest first: the long analyses start early instead of running alone at
# the end, which matters most on few cores.
mapfile -t units < <(for f in "${units[@]}"; do printf '%s\t%s\n' "$(stat -c %s "$f")" "$f"; done |
  sort -k1,1nr -k2 | cut -f2-)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export tidy build root out
# One file per clang-tidy, in parallel; each writes its own log.
printf '%s\n' "${units[@]}" | xargs -P "$jobs" -I{} sh -c '
  f=$1
  case "$f" in
    tests/* | bench/*) extra="--checks=-clang-analyzer-*,-concurrency-mt-unsafe" ;;
    *) extra="" ;;
  esac
  log="$out/$(echo "$f" | tr / _).log"
  if ! "$tidy" -p "$build" --quiet --use-color=false $extra \
      --header-filter="^$root/(crypto|platform|quillon2|stand-ins|vxsdk|tests|bench)/" "$root/$f" >"$log" 2>&1; then
    echo "$f" >"$log.failed"
  fi' sh {}

# Findings in a header show up once per file that includes it: list each once.
findings=$(cat "$out"/*.log | grep -E '^/.*: (warning|error): ' | sed "s|^$root/||" | sort -u || true)
failed=$(cat "$out"/*.failed 2>/dev/null | sort || true)
echo "check-tidy: ${#units[@]} files checked with $("$tidy" --version | grep -m1 version | sed 's/^ *//')"
if [ -z "$failed" ]; then
  echo "check-tidy: no findings"
  exit 0
fi
if [ -n "$findings" ]; then
  echo "$findings"
  echo "check-tidy: $(echo "$findings" | wc -l) findings by check:"
  echo "$findings" | grep -oE '\[[a-z0-9.-]+' | tr -d '[' | sort | uniq -c | sort -rn
fi
echo "check-tidy: files with findings or errors:"
echo "$failed" | sed 's/^/  /'
exit 1
