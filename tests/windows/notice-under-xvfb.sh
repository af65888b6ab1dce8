#!/bin/sh
# The completion notice is a real window titled "Finish"; the program does
# not end until it is dismissed, then exits 0 with its outputs written.
. "$(dirname "$0")/common.sh"
need_wine
need_command Xvfb
need_command xdotool
need_file "$EXE64"
make_library_workspace

displayFile="$SCRATCH/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$SCRATCH"' EXIT
for _ in $(seq 100); do [ -s "$displayFile" ] && break; sleep 0.1; done
[ -s "$displayFile" ] || fail "Xvfb did not start"
DISPLAY=":$(cat "$displayFile")"
export DISPLAY

cd "$SCRATCH"
"$WINE_RUN" "$WINE_PREFIX" "$EXE64" &
converter=$!
window=$(timeout 120 xdotool search --sync --name '^Finish$' | head -n 1) || fail "no window titled Finish"
echo "notice window $window: $(xdotool getwindowname "$window")"
sleep 2
kill -0 "$converter" 2>/dev/null || fail "the program ended while its notice was still shown"
check_library_outputs

xdotool windowfocus --sync "$window" key Return
for _ in $(seq 300); do kill -0 "$converter" 2>/dev/null || break; sleep 0.1; done
kill -0 "$converter" 2>/dev/null && fail "the program did not end once the notice was dismissed"
status=0
wait "$converter" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status"
echo "the notice blocked until dismissed; exit status 0"
