#!/bin/sh
# A folder dropped on the program (its one argument) is where the run
# happens: a folder whose name has spaces and characters outside the ANSI
# code page, the same folder's convert folder, a folder that cannot be
# opened (nothing is run, exit status 1). Any other command line is ignored.
# The program starts in a folder of its own holding a preset, which only the
# run without a dropped folder may convert.
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

run "$(windows_path "$dropped")" "$(windows_path "$SCRATCH")"
[ "$status" -eq 0 ] || fail "exit status $status with two arguments"
[ -z "$(ls -A "$dropped/Converted")" ] || fail "two arguments were not ignored"
[ "$(cat "$start/Converted/start.kvr")" = "$(printf 'sizeX=3\r')" ] || fail "two arguments: no run in the current folder"
echo "two arguments: ignored, the current folder converted"
