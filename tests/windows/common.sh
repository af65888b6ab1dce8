# Shared by the Windows test scripts; sourced, not run. Each script takes
# the source folder as its first argument and, where it runs a build, 32 or
# 64 as its second: the PE32 deliverable or the 64-bit build.
set -eu
SOURCE_DIR=$(realpath "$1")
BITS=${2:-64}
BUILD32="$SOURCE_DIR/build/mingw32"
BUILD64="$SOURCE_DIR/build/mingw64"
EXE32="$BUILD32/BrushPreset_Convertion.exe"
EXE64="$BUILD64/BrushPreset_Convertion.exe"
case "$BITS" in
  32) BUILD=$BUILD32 LOADER=/usr/lib/wine/wine LOADER_PACKAGE="32-bit Wine (wine32:i386)" ;;
  64) BUILD=$BUILD64 LOADER=/usr/lib/wine/wine64 LOADER_PACKAGE="Wine (wine64)" ;;
  *) echo "FAILED: the build is 32 or 64, not $BITS"; exit 1 ;;
esac
EXE="$BUILD/BrushPreset_Convertion.exe"
WINE_RUN="$SOURCE_DIR/cmake/run-under-wine.sh"
# Each build has its prefix: 32-bit for the deliverable, 64-bit for the other.
WINE_PREFIX="$BUILD/wineprefix"
FIXTURES="$SOURCE_DIR/tests/fixtures/library"

# Exit status 77 makes the test count as skipped, never as passed.
skip() {
  echo "SKIPPED: $*"
  exit 77
}

fail() {
  echo "FAILED: $*"
  exit 1
}

need_command() {
  command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed"
}

# The Wine loader for this build's programs.
need_wine() {
  [ -x "$LOADER" ] || skip "$LOADER_PACKAGE is not installed"
}

need_file() {
  [ -e "$1" ] || skip "$1 was not built (MinGW-w64 missing?)"
}

# Runs a Windows program of this build under Wine, stopped after the given
# number of seconds: run_wine SECONDS PROGRAM [ARGUMENTS...]. A run that
# the runner skips (its loader missing) skips the test.
run_wine() {
  seconds=$1
  shift
  wine_status=0
  timeout -k 10 "$seconds" "$WINE_RUN" "$WINE_PREFIX" "$@" || wine_status=$?
  [ "$wine_status" -ne 77 ] || skip "Wine cannot run $(basename "$1") here"
  case "$wine_status" in
    124 | 137) fail "$(basename "$1") did not end within $seconds s" ;;
  esac
}

# The Wine server of this build's prefix: wine_server -k ends every program
# still running there, wine_server -w waits until the server has ended.
wine_server() {
  for server in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32; do
    if [ -x "$server" ]; then
      WINEPREFIX="$WINE_PREFIX" timeout 60 "$server" "$@" 2>/dev/null || :
      return 0
    fi
  done
}

SCRATCH=""
make_scratch() {
  SCRATCH=$(mktemp -d)
  trap 'rm -rf "$SCRATCH"' EXIT
}

# A working folder holding the library fixture beside an empty Converted,
# and a folder named like a preset.
make_library_workspace() {
  make_scratch
  mkdir "$SCRATCH/convert" "$SCRATCH/Converted" "$SCRATCH/convert/folder.kvr"
  cp -a "$FIXTURES/convert/." "$SCRATCH/convert/"
}

# Converted must hold exactly the expected files, byte for byte, and the
# inputs must be unchanged.
check_library_outputs() {
  diff -r "$FIXTURES/expected" "$SCRATCH/Converted" || fail "outputs differ from the expected files"
  for input in "$FIXTURES"/convert/* "$FIXTURES"/convert/.kvr; do
    cmp -s "$input" "$SCRATCH/convert/$(basename "$input")" || fail "input $(basename "$input") changed"
  done
}
