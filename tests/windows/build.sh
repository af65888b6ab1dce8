#!/bin/sh
# Cross-builds the 32-bit deliverable and the 64-bit build with its tests.
. "$(dirname "$0")/common.sh"
need_command i686-w64-mingw32-g++-posix
need_command x86_64-w64-mingw32-g++-posix
[ -d /usr/src/googletest ] || skip "GoogleTest sources (googletest) are not installed"
cd "$SOURCE_DIR"
for preset in mingw32 mingw64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
