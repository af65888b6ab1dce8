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

# Presets that cannot be converted: a name the ANSI code page cannot write,
# and a folder at an output path. Both are told (exit status 1); the rest
# converts as before, and the older conversion under the folder stays.
rm -rf "$SCRATCH/Converted" && mkdir "$SCRATCH/Converted" "$SCRATCH/Converted/round.kvr"
printf 'global.SizeX=1;\n' >"$SCRATCH/convert/$(printf '\316\261\316\262\316\263').kvr"
printf 'global.SizeX=2;\n' >"$SCRATCH/convert/$(printf '\346\227\245\346\234\254').kvr"
run_wine 120 "$EXE"
[ "$wine_status" -eq 1 ] || fail "exit status $wine_status, not 1, with presets not converted"
[ -d "$SCRATCH/Converted/round.kvr" ] || fail "the folder at an output path was replaced"
rmdir "$SCRATCH/Converted/round.kvr"
expected=$(ls -A "$FIXTURES/expected" | grep -v -x round.kvr | sort)
[ "$(ls -A "$SCRATCH/Converted" | sort)" = "$expected" ] || fail "Converted holds other files than expected"
for name in $expected; do
  cmp -s "$FIXTURES/expected/$name" "$SCRATCH/Converted/$name" || fail "$name differs"
done
echo "presets not converted under Wine ($BITS-bit build): exit status 1, the others exact"
