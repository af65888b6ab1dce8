#!/bin/sh
# Usage: coverage-report.sh SOURCE_DIR BUILD_DIR MIN_LINES MIN_BRANCHES
# Line and branch coverage of the Linux product code (tools/, runtime/,
# platform/PlatformPosix.cpp), file by file, from the counters that the
# coverage build's test runs left; fails below the minimum shares
# (percent). Reports itself skipped (77) without gcovr. Not counted: the
# branches of exception handling, and those gcc puts on lines without code
# of their own (a closing brace, a declaration: the cleanups of the objects
# that end there).
set -eu
src=$1 build=$2 lines=$3 branches=$4
if ! command -v gcovr >/dev/null 2>&1; then
  echo "gcovr is missing (apt-get install gcovr)"
  exit 77
fi
json=$build/coverage.json
# Relative filters are taken from the working folder. The counters are
# searched in this build folder alone: by default gcovr searches the whole
# checkout and would add those of any other build folder in it.
cd "$src"
gcovr --root . --object-directory "$build" --filter 'tools/' --filter 'runtime/' \
  --filter 'platform/PlatformPosix\.cpp' \
  --exclude-throw-branches --exclude-unreachable-branches --json "$json" "$build"
echo "== lines"
gcovr --root . --add-tracefile "$json"
echo "== branches"
gcovr --root . --add-tracefile "$json" --branches
echo "== at least $lines% of lines and $branches% of branches"
gcovr --root . --add-tracefile "$json" --fail-under-line "$lines" --fail-under-branch "$branches" \
  --print-summary --output "$build/coverage-summary.txt"
