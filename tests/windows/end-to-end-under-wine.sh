#!/bin/sh
# The GUI executable (32- or 64-bit, the second argument) converts a
# working folder under Wine, byte for byte like the Linux build. Without a
# display, Wine's message box returns at once.
. "$(dirname "$0")/common.sh"
need_wine
need_file "$EXE"
make_library_workspace
cd "$SCRATCH"
unset DISPLAY
run_wine 120 "$EXE"
[ "$wine_status" -eq 0 ] || fail "exit status $wine_status"
check_library_outputs
echo "converted under Wine ($BITS-bit build), every byte as expected"
