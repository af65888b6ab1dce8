#!/bin/sh
# Runs a Windows program under Wine with a prefix of its own:
#   run-under-wine.sh PREFIX PROGRAM [ARGUMENTS...]
# Exits 77 (skipped) where Wine is missing. Wine's 64-bit loader is called
# directly: the "wine" wrapper needs 32-bit support that this kernel lacks.
prefix="$(realpath -m "$1")"
shift
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || { echo "Wine is not installed: skipped"; exit 77; }
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
exec "$loader" "$@"
