#!/bin/sh
# Runs a Windows program under Wine, in a prefix of its own and within a
# time limit:
#   run-under-wine.sh PREFIX PROGRAM [ARGUMENTS...]
#
# The loader follows the program: Wine's 32-bit loader for a PE32 program
# (the deliverable), the 64-bit one for PE32+. Where that loader is missing
# the run exits 77 (skipped) instead of handing the program to a loader
# that would run nothing and still exit 0.
#
# A new prefix is made 32-bit for a PE32 program, like the deliverable's
# home, and 64-bit for PE32+. A prefix that cannot run the program is made
# anew: one made before 32-bit Wine was installed has no 32-bit system
# DLLs, and a PE32 program then stops with "could not load kernel32.dll".
#
# Each run starts on a Wine server of its own, so runs in one prefix go one
# at a time. A server can outlive its last program and keeps the display it
# started with: a run under X straight after a headless one would otherwise
# get no window, its message box returning at once.
#
# The program is stopped after BRUSH_WINE_TIMEOUT seconds (600 unless set),
# with the status 124 of timeout(1).
set -eu

[ $# -ge 2 ] || { echo "usage: $0 PREFIX PROGRAM [ARGUMENTS...]" >&2; exit 2; }
prefix=$(realpath -m "$1")
shift
program=$1
limit=${BRUSH_WINE_TIMEOUT:-600}

# The machine field of the PE header, as 4 hex digits.
pe_machine() {
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] || return 0
  [ "$(od -An -tx4 -j"$offset" -N4 "$1" 2>/dev/null | tr -d ' ')" = 00004550 ] || return 0
  od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}

[ -f "$program" ] || { echo "$program: no such file" >&2; exit 2; }
case "$(pe_machine "$program")" in
  014c)
    loader=/usr/lib/wine/wine
    arch=win32
    system_dlls=syswow64 # where a 64-bit prefix keeps the 32-bit ones
    wanted="32-bit Wine (wine32:i386)" ;;
  8664)
    loader=/usr/lib/wine/wine64
    arch=win64
    system_dlls=system32
    wanted="Wine (wine64)" ;;
  *)
    echo "$program is not an x86 or x86-64 Windows program" >&2
    exit 2 ;;
esac
if [ ! -x "$loader" ]; then
  echo "$wanted is not installed: skipped"
  exit 77
fi
for server in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32 "$(command -v wineserver || :)"; do
  [ -x "$server" ] && break
done
[ -x "$server" ] || { echo "no wineserver beside $loader" >&2; exit 1; }

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH WINELOADER WINESERVER

# Waits until no Wine server serves the prefix; one that does not end in a
# minute (a program left hanging) is killed with all it runs.
settle() {
  timeout 60 "$server" -w || "$server" -k || :
}

# Whether the prefix holds the system DLLs this program needs.
prefix_fits() {
  case "$(sed -n '/^#arch=/{s///p;q}' "$prefix/system.reg" 2>/dev/null)" in
    win32) [ "$arch" = win32 ] && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ] ;;
    win64) [ -f "$prefix/drive_c/windows/$system_dlls/kernel32.dll" ] ;;
    *) return 1 ;;
  esac
}

settle
if ! prefix_fits; then
  if [ -e "$prefix/system.reg" ] || [ -d "$prefix/drive_c" ] || [ -d "$prefix/dosdevices" ]; then
    echo "The Wine prefix $prefix cannot run $(basename "$program"): made anew"
    rm -rf "$prefix"
  elif [ -n "$(ls -A "$prefix" 2>/dev/null)" ]; then
    echo "$prefix is neither empty nor a Wine prefix: left as it is" >&2
    exit 1
  fi
  mkdir -p "$prefix"
  # Made headless: no window of Wine's own set-up may reach a display.
  status=0
  env -u DISPLAY WINEARCH="$arch" timeout 300 "$loader" wineboot --init || status=$?
  settle
  [ "$status" -eq 0 ] && prefix_fits || {
    echo "Wine could not make a $arch prefix in $prefix (status $status)" >&2
    exit 1
  }
fi

exec timeout -k 10 "$limit" "$loader" "$@"
