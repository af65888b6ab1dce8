#!/bin/sh
# The 64-bit GUI executable converts a working folder under Wine, byte for
# byte like the Linux build. Without a display, Wine's message box returns
# at once.
. "$(dirname "$0")/common.sh"
need_wine
need_file "$EXE64"
make_library_workspace
cd "$SCRATCH"
status=0
env -u DISPLAY timeout 120 "$WINE_RUN" "$WINE_PREFIX" "$EXE64" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
check_library_outputs
echo "converted under Wine, every byte as expected"
