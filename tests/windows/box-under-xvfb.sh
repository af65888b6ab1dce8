#!/bin/sh
# The notice box of the deliverable on an 800x600 screen, read back by
# box_text.exe: with 31 presets not converted (one with a 200-character
# name) it stays on the screen, lists 20 short lines, and keeps the whole
# list in BrushPreset_Convertion.log (UTF-8 with a BOM), named in the box; a
# run whose failures all fit in the box removes that list, a long name is
# shortened in the middle, and a file of that name the tool did not write
# is never touched. Under code page 1251 the box reads "Conversion
# terminée !".
. "$(dirname "$0")/common.sh"
need_wine
need_command Xvfb
need_command xdotool
need_file "$EXE"
BOX_TEXT="$BUILD/tests/box_text.exe"
need_file "$BOX_TEXT"
make_scratch
work="$SCRATCH/work"
mkdir -p "$work/convert" "$work/Converted"
long=$(printf 'L%.0s' $(seq 200))
for name in $(seq -w 1 30) "$long"; do
  printf 'global.SizeX=3;\n' >"$work/convert/$name.kvr"
  mkdir "$work/Converted/$name.kvr"
done

displayFile="$SCRATCH/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$displayFile" >/dev/null 2>&1 &
xvfb=$!
converter=""
trap '[ -z "$converter" ] || { kill "$converter" 2>/dev/null; wine_server -k; }
  kill $xvfb 2>/dev/null; cat "$SCRATCH/box" 2>/dev/null; rm -rf "$SCRATCH"' EXIT
for _ in $(seq 100); do [ -s "$displayFile" ] && break; sleep 0.1; done
[ -s "$displayFile" ] || fail "Xvfb did not start"
DISPLAY=":$(cat "$displayFile")"
export DISPLAY

# Runs the program in $work, then has box_text.exe read its box (into
# $SCRATCH/box) and press OK once the box is up; the exit status in $status.
show_box() {
  cd "$work"
  timeout -k 10 180 "$WINE_RUN" "$WINE_PREFIX" "$EXE" >"$SCRATCH/console" 2>&1 &
  converter=$!
  cd - >/dev/null
  window=""
  for _ in $(seq 1200); do
    window=$(xdotool search --name '^Finish$' 2>/dev/null | head -n 1) || :
    [ -z "$window" ] || break
    kill -0 "$converter" 2>/dev/null || break
    sleep 0.1
  done
  if [ -n "$window" ]; then
    WINEPREFIX="$WINE_PREFIX" WINEDEBUG=-all timeout -k 10 120 "$LOADER" "$BOX_TEXT" >"$SCRATCH/box" 2>/dev/null ||
      fail "box_text could not read the box: $(cat "$SCRATCH/box")"
  fi
  status=0
  wait "$converter" || status=$?
  converter=""
  wine_server -w
  [ "$status" -ne 77 ] || skip "Wine cannot run $(basename "$EXE") here"
  [ -n "$window" ] || fail "no box titled Finish (exit status $status): $(cat "$SCRATCH/console")"
}

show_box
[ "$status" -eq 1 ] || fail "exit status $status, not 1, with presets not converted"
read -r _ left top right bottom <<EOF2
$(grep '^box: ' "$SCRATCH/box")
EOF2
[ "$left" -ge 0 ] && [ "$top" -ge 0 ] && [ "$right" -le 800 ] && [ "$bottom" -le 600 ] ||
  fail "the box ($left,$top)-($right,$bottom) leaves the 800x600 screen"
listed=$(grep -c '\.kvr : ' "$SCRATCH/box") || :
[ "$listed" -eq 20 ] || fail "the box lists $listed presets, not 20: $(cat "$SCRATCH/box")"
grep -q '^text: \.\.\. et 11 autres\.$' "$SCRATCH/box" || fail "the box does not count the 11 others"
grep -q '^text: Liste compl' "$SCRATCH/box" || fail "the box does not name the list"
grep -q 'BrushPreset_Convertion.log$' "$SCRATCH/box" || fail "the box does not name the list's file"
log="$work/BrushPreset_Convertion.log"
[ -f "$log" ] || fail "no list written"
[ "$(head -c 3 "$log" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "the list does not start with a UTF-8 BOM"
[ "$(grep -c 'kvr : cr' "$log")" -eq 31 ] || fail "the list does not hold all 31 presets"
grep -q "$long" "$log" || fail "the list shortened a name"
[ "$(grep -c 'cannot create' "$SCRATCH/console")" -eq 31 ] || fail "the console lines are not all there"
echo "31 presets not converted: the box fits 800x600, the whole list is in the log"

# One failure, of the long name: shortened in the middle, the box narrow,
# and the list written before goes, every failure being in the box.
rm -r "$work/Converted"/[0-9]*
show_box
[ "$status" -eq 1 ] || fail "exit status $status, not 1, with a preset not converted"
grep -q '^text: LLLLLLLLLLL…LLLLLLLL\.kvr : création impossible' "$SCRATCH/box" || fail "the long name is not shortened"
read -r _ left _ right _ <<EOF2
$(grep '^box: ' "$SCRATCH/box")
EOF2
[ $((right - left)) -le 500 ] || fail "the box is $((right - left)) pixels wide for one long name"
[ ! -e "$log" ] || fail "the earlier list was left though the box lists every failure"
echo "one long name: shortened, the box $((right - left)) pixels wide, the earlier list gone"

# A clean run removes no file it did not write.
rm -r "$work/Converted"/*
# ... but never a file of that name it did not write.
echo "my own notes" >"$log"
show_box
[ "$(cat "$log")" = "my own notes" ] || fail "a file the tool did not write was changed"
rm "$log"
echo "a clean run leaves a file the tool did not write"

# The notice under code page 1251, whose 0xE9 is not é.
need_command localedef
mkdir -p "$SCRATCH/locale"
localedef -i ru_RU -f CP1251 "$SCRATCH/locale/ru_RU.CP1251" >/dev/null 2>&1 || :
[ -d "$SCRATCH/locale/ru_RU.CP1251" ] || skip "the ru_RU locale sources (locales) are not installed"
export LOCPATH="$SCRATCH/locale" LC_ALL=ru_RU.CP1251
show_box
[ "$status" -eq 0 ] || fail "exit status $status under code page 1251"
grep -q '^codepage: 1251$' "$SCRATCH/box" || fail "Wine did not take code page 1251: $(cat "$SCRATCH/box")"
grep -q '^text: Conversion terminée !$' "$SCRATCH/box" || fail "the notice reads wrong under 1251: $(cat "$SCRATCH/box")"
echo "code page 1251: the box reads Conversion terminée !"
