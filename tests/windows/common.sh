# Shared by the Windows test scripts; sourced, not run. Each script takes
# the source folder as its first argument.
set -eu
SOURCE_DIR=$(realpath "$1")
BUILD32="$SOURCE_DIR/build/mingw32"
BUILD64="$SOURCE_DIR/build/mingw64"
EXE32="$BUILD32/BrushPreset_Convertion.exe"
EXE64="$BUILD64/BrushPreset_Convertion.exe"
WINE_RUN="$SOURCE_DIR/cmake/run-under-wine.sh"
WINE_PREFIX="$BUILD64/wineprefix"
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

need_wine() {
  [ -x /usr/lib/wine/wine64 ] || skip "Wine (wine64) is not installed"
}

need_file() {
  [ -e "$1" ] || skip "$1 was not built (MinGW-w64 missing?)"
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
