#!/bin/sh
# The portable unit and platform-contract tests, built for Windows and run
# under Wine against the Win32 backend.
. "$(dirname "$0")/common.sh"
need_wine
need_file "$BUILD64/tests/brush_tests.exe"
cd "$SOURCE_DIR"
ctest --preset mingw64
