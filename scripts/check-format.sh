#!/usr/bin/env bash
# Lists the C++ files whose layout differs from .clang-format and fails when
# there is any. Arguments narrow the check to some files or folders.
#   scripts/check-format.sh                 # every tracked .cpp and .h
#   scripts/check-format.sh crypto/rus      # one folder
# Fix a listed file with: clang-format -i <file>
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format}
if ! command -v "$clang_format" >/dev/null; then
  echo "check-format: $clang_format not found (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

# Sources of the repository (new files too); build folders and seed corpora
# are not code.
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- "${@:-.}" | grep -E '\.(cpp|cc|h|hpp)$' | grep -v '^tests/fuzz/corpus/' || true)
if [ ${#files[@]} -eq 0 ]; then
  echo "check-format: no C++ files to check" >&2
  exit 2
fi

# One clang-format per batch of files, in parallel (its start-up costs more
# than formatting a file); a file is listed when it would change, which
# clang-format reports as "FILE:LINE:COL: error: code should be
# clang-formatted".
mapfile -t differ < <(printf '%s\0' "${files[@]}" |
  xargs -0 -n 64 -P "${JOBS:-$(nproc)}" sh -c '
    cf=$1; shift
    "$cf" --dry-run -Werror --ferror-limit=1 "$@" 2>&1 >/dev/null |
      sed -n "s/^\(.*\):[0-9][0-9]*:[0-9][0-9]*: error: code should be clang-formatted.*/\1/p"' sh "$clang_format" |
  sort -u)

echo "check-format: ${#files[@]} files checked with $("$clang_format" --version | head -n 1)"
if [ ${#differ[@]} -gt 0 ]; then
  echo "check-format: ${#differ[@]} files differ from .clang-format:"
  printf '  %s\n' "${differ[@]}"
  exit 1
fi
echo "check-format: all files match"
