#!/bin/sh
# The completion notice of the GUI executable (32- or 64-bit, the second
# argument) is a real window titled "Finish"; the program does not end
# until it is dismissed, then exits with its outputs written. One preset
# cannot be written (a folder stands at its output path), so the box lists
# it and the exit status is 1.
. "$(dirname "$0")/common.sh"
need_wine
need_command Xvfb
need_command xdotool
need_file "$EXE"
make_library_workspace
cp "$FIXTURES/convert/round.kvr" "$SCRATCH/convert/blocked.kvr"
mkdir "$SCRATCH/Converted/blocked.kvr"

displayFile="$SCRATCH/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
xvfb=$!
converter=""
# On any way out, nothing of the run is left behind.
trap '[ -z "$converter" ] || { kill "$converter" 2>/dev/null; wine_server -k; }
  kill $xvfb 2>/dev/null; rm -rf "$SCRATCH"' EXIT
for _ in $(seq 100); do [ -s "$displayFile" ] && break; sleep 0.1; done
[ -s "$displayFile" ] || fail "Xvfb did not start"
DISPLAY=":$(cat "$displayFile")"
export DISPLAY

cd "$SCRATCH"
# The runner starts the program on a Wine server of its own: one left by
# an earlier headless run would make the message box return at once.
timeout -k 10 180 "$WINE_RUN" "$WINE_PREFIX" "$EXE" &
converter=$!
window=""
for _ in $(seq 1200); do
  window=$(xdotool search --name '^Finish$' 2>/dev/null | head -n 1) || :
  [ -z "$window" ] || break
  if ! kill -0 "$converter" 2>/dev/null; then
    status=0
    wait "$converter" || status=$?
    converter=""
    [ "$status" -ne 77 ] || skip "Wine cannot run $(basename "$EXE") here"
    fail "the program ended (status $status) without showing its notice"
  fi
  sleep 0.1
done
[ -n "$window" ] || fail "no window titled Finish within two minutes"
echo "notice window $window: $(xdotool getwindowname "$window")"
sleep 2
kill -0 "$converter" 2>/dev/null || fail "the program ended while its notice was still shown"
[ -d "$SCRATCH/Converted/blocked.kvr" ] || fail "the folder at an output path was replaced"
rmdir "$SCRATCH/Converted/blocked.kvr" && rm "$SCRATCH/convert/blocked.kvr"
check_library_outputs

xdotool windowfocus --sync "$window" key Return
for _ in $(seq 300); do kill -0 "$converter" 2>/dev/null || break; sleep 0.1; done
kill -0 "$converter" 2>/dev/null && fail "the program did not end once the notice was dismissed"
status=0
wait "$converter" || status=$?
converter=""
# Wine's own processes leave the display before it closes, and the next
# run starts on a new server.
wine_server -w
[ "$status" -ne 77 ] || skip "Wine cannot run $(basename "$EXE") here"
[ "$status" -eq 1 ] || fail "exit status $status, not 1, with a preset not converted"
echo "the notice blocked until dismissed ($BITS-bit build); exit status 1 for the preset it listed"
