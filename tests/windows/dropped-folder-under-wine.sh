#!/bin/sh
# The items dropped on the program (its arguments) are where the run
# happens: a folder whose name has spaces and characters outside the ANSI
# code page, the same folder's convert folder, two folders at once, a
# quoted folder ending in a backslash (as shortcuts pass it); a folder that
# cannot be opened or a dropped file is told and nothing is run (exit
# status 1). The program starts in a folder of its own holding a preset,
# which no run with a dropped folder may convert.
. "$(dirname "$0")/common.sh"
need_wine
need_file "$EXE"
make_scratch
# Wine reads the arguments in the locale's character set.
export LC_ALL=C.UTF-8
dropped="$SCRATCH/Pinceaux été 画笔"
start="$SCRATCH/start"
mkdir -p "$dropped/convert" "$dropped/Converted" "$start/convert" "$start/Converted"
cp -a "$FIXTURES/convert/." "$dropped/convert/"
printf 'global.SizeX=3;\n' >"$start/convert/start.kvr"

# The Windows spelling of a path here: drive Z: is the root.
windows_path() {
  printf 'Z:%s' "$1" | tr / '\\'
}

run() {
  unset DISPLAY
  cd "$start"
  run_wine 120 "$EXE" "$@"
  cd - >/dev/null
  status=$wine_status
}

expect_start_untouched() {
  [ -z "$(ls -A "$start/Converted")" ] || fail "the program converted in the folder it started in"
}

for drop in "$dropped" "$dropped/convert" "$dropped/convert/"; do
  rm -rf "$dropped/Converted" && mkdir "$dropped/Converted"
  run "$(windows_path "$drop")"
  [ "$status" -eq 0 ] || fail "exit status $status for $drop"
  diff -r "$FIXTURES/expected" "$dropped/Converted" || fail "outputs differ from the expected files for $drop"
  expect_start_untouched
  echo "dropped $drop: converted"
done

rm -rf "$dropped/Converted" && mkdir "$dropped/Converted"
run "$(windows_path "$SCRATCH/gone")"
[ "$status" -eq 1 ] || fail "exit status $status for a folder that does not exist"
expect_start_untouched
[ -z "$(ls -A "$dropped/Converted")" ] || fail "a run happened for a folder that does not exist"
echo "a folder that does not exist: nothing run, exit status 1"

# Two folders dropped together: both converted, in one run.
other="$SCRATCH/other"
mkdir -p "$other/convert" "$other/Converted"
printf 'global.SizeX=4;\n' >"$other/convert/other.kvr"
rm -rf "$dropped/Converted" && mkdir "$dropped/Converted"
run "$(windows_path "$dropped")" "$(windows_path "$other/Converted")"
[ "$status" -eq 0 ] || fail "exit status $status for two dropped folders"
diff -r "$FIXTURES/expected" "$dropped/Converted" || fail "two dropped folders: the first was not converted"
[ "$(cat "$other/Converted/other.kvr")" = "$(printf 'sizeX=4\r')" ] || fail "two dropped folders: the second was not converted"
expect_start_untouched
echo "two dropped folders: both converted"

# A dropped file is told by its name, and nothing runs.
rm -rf "$other/Converted" && mkdir "$other/Converted"
run "$(windows_path "$other")" "$(windows_path "$other/convert/other.kvr")" 2>"$SCRATCH/errors"
[ "$status" -eq 1 ] || fail "exit status $status with a dropped file"
grep -q 'other\.kvr: ce n.est pas un dossier$' "$SCRATCH/errors" || fail "the dropped file was not told: $(cat "$SCRATCH/errors")"
[ -z "$(ls -A "$other/Converted")" ] || fail "a run happened with a dropped file"
expect_start_untouched
echo "a dropped file: told as not a folder, nothing run"

# A quoted folder ending in \" (a shortcut's "%1", PowerShell's completion)
# is that folder, backslash and all. Only cmd passes the command line as
# written: Wine would quote the argument itself.
printf '@"%s" "%s\\"\r\n@exit %%ERRORLEVEL%%\r\n' "$(windows_path "$EXE")" "$(windows_path "$other")" >"$start/drop.bat"
run_cmd() {
  unset DISPLAY
  cd "$start"
  run_wine 120 "$WINE_PREFIX/drive_c/windows/system32/cmd.exe" /c drop.bat
  cd - >/dev/null
  status=$wine_status
}
[ -f "$WINE_PREFIX/drive_c/windows/system32/cmd.exe" ] || fail "the Wine prefix has no cmd.exe"
run_cmd
[ "$status" -eq 0 ] || fail "exit status $status for a quoted folder ending in a backslash"
[ "$(cat "$other/Converted/other.kvr")" = "$(printf 'sizeX=4\r')" ] || fail "a quoted folder ending in a backslash was not converted"
rm "$start/drop.bat"
expect_start_untouched
echo "a quoted folder ending in a backslash: converted"

# Help, version and usage errors as on Linux (the box returns at once
# without a display); nothing is converted.
run -V >"$SCRATCH/output"
[ "$status" -eq 0 ] && grep -q '^BrushPreset_Convertion [0-9]' "$SCRATCH/output" || fail "-V: exit status $status"
run --bogus 2>"$SCRATCH/errors"
[ "$status" -eq 2 ] || fail "exit status $status, not 2, for an unknown option"
grep -q "^Try 'BrushPreset_Convertion --help' for more information" "$SCRATCH/errors" || fail "no pointer to --help"
expect_start_untouched
echo "-V and an unknown option: as on Linux, nothing converted"
