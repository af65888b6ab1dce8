#!/bin/sh
# The 32-bit deliverable: PE32, GUI subsystem for Windows 6.0 and later,
# large-address-aware, the manifest embedded (long paths), no
# DLL beyond Windows' own, and built for SSE2: its byte scans compare 16
# bytes at a time (pcmpeqb, pmovmskb) instead of running byte loops.
. "$(dirname "$0")/common.sh"
need_command i686-w64-mingw32-objdump
need_file "$EXE32"
headers=$(i686-w64-mingw32-objdump -p "$EXE32")
echo "$headers" | grep -q 'file format pei-i386' || fail "not a 32-bit x86 PE file"
echo "$headers" | grep -q '^Magic.*(PE32)' || fail "not PE32"
echo "$headers" | grep -q '^Subsystem.*(Windows GUI)' || fail "not a GUI-subsystem program"
# It imports GetTickCount64: Windows Vista (6.0) is the least it runs on.
echo "$headers" | grep -q '^MajorSubsystemVersion[[:space:]]*6$' || fail "the subsystem version is not 6.0"
characteristics=$(echo "$headers" | sed -n 's/^Characteristics[[:space:]]*//p')
[ $((characteristics & 0x20)) -ne 0 ] || fail "not large-address-aware"
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $dlls
for dll in $dlls; do
  case "$dll" in
    kernel32.dll | user32.dll | comctl32.dll | ole32.dll | shell32.dll | msvcrt.dll) ;;
    *) fail "imports a DLL that Windows does not ship: $dll" ;;
  esac
done
grep -aq 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$EXE32" ||
  fail "no common-controls 6.0 manifest"
grep -aq 'processorArchitecture="x86"' "$EXE32" || fail "the manifest does not name x86"
grep -aq '<longPathAware[^>]*>true<' "$EXE32" || fail "the manifest does not say longPathAware"
i686-w64-mingw32-objdump -d "$EXE32" | grep -q 'pmovmskb' ||
  fail "no SSE2 byte scan in the code: built without -msse2?"
echo "PE32 GUI executable with its manifest and SSE2 scans; imports only Windows' own DLLs"
