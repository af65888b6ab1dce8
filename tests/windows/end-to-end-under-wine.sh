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

# Names beyond the ANSI code page and MAX_PATH: Greek, Japanese, emoji and
# a 255-character name convert under the same names, byte for byte. A
# folder at an output path is told (exit status 1), and the older
# conversion under it stays.
rm -rf "$SCRATCH/Converted" && mkdir "$SCRATCH/Converted" "$SCRATCH/Converted/round.kvr"
names="$(printf '\316\261\316\262\316\263').kvr $(printf '\346\227\245\346\234\254').kvr"
names="$names $(printf '\360\237\226\214\357\270\217').kvr $(printf 'n%.0s' $(seq 251)).kvr"
for name in $names; do cp "$FIXTURES/convert/latin.kvr" "$SCRATCH/convert/$name"; done
run_wine 120 "$EXE"
[ "$wine_status" -eq 1 ] || fail "exit status $wine_status, not 1, with a preset not converted"
[ -d "$SCRATCH/Converted/round.kvr" ] || fail "the folder at an output path was replaced"
rmdir "$SCRATCH/Converted/round.kvr"
expected=$(ls -A "$FIXTURES/expected" | grep -v -x round.kvr)
[ "$(ls -A "$SCRATCH/Converted" | sort)" = "$(printf '%s\n' $expected $names | sort)" ] ||
  fail "Converted holds other files than expected: $(ls -A "$SCRATCH/Converted")"
for name in $expected; do
  cmp -s "$FIXTURES/expected/$name" "$SCRATCH/Converted/$name" || fail "$name differs"
done
for name in $names; do
  cmp -s "$FIXTURES/expected/latin.kvr" "$SCRATCH/Converted/$name" || fail "$name differs"
done
echo "names past the code page and MAX_PATH converted under Wine ($BITS-bit build), every byte as expected"

# A working folder deeper than 300 characters, dropped on the program (Wine
# cannot start a program in it). In Shift-JIS the second byte of these
# names is that of "\", which once cut them.
deep="$SCRATCH/deep"
for level in 1 2 3 4 5 6; do deep="$deep/$level-$(printf 'd%.0s' $(seq 50))"; done
mkdir -p "$deep/Converted" && cp -a "$SCRATCH/convert" "$deep/"
names="$(printf '\350\241\250').kvr $(printf '\343\202\275\343\203\225\343\203\210').kvr"
for name in $names; do cp "$FIXTURES/convert/latin.kvr" "$deep/convert/$name"; done
run_wine 120 "$EXE" "Z:$(printf '%s' "$deep" | tr / '\\')"
[ "$wine_status" -eq 0 ] || fail "exit status $wine_status in the deep folder"
for name in $names; do
  cmp -s "$FIXTURES/expected/latin.kvr" "$deep/Converted/$name" || fail "$name differs in the deep folder"
done
cmp -s "$FIXTURES/expected/round.kvr" "$deep/Converted/round.kvr" || fail "round.kvr differs in the deep folder"
echo "a working folder of ${#deep} characters converted ($BITS-bit build)"

# A run killed while it writes an output (as the Task Manager or a log-off
# ends it) leaves its temporary file; the next run removes it and converts
# everything, leaving no temporary file.
mkdir "$SCRATCH/killed" "$SCRATCH/killed/convert" "$SCRATCH/killed/Converted"
cd "$SCRATCH/killed"
lines=8000000
yes 'global.SizeX=1;' | head -n "$lines" >convert/big.kvr
printf 'global.SizeX=2;\n' >convert/small.kvr
run_wine 120 "$EXE" &
run=$!
waited=0
until ls -A Converted | grep -q '\.unfinished$'; do
  [ "$waited" -lt 600 ] || fail "no temporary file appeared within 60 s"
  sleep 0.1
  waited=$((waited + 1))
done
wine_server -k
wait "$run" || :
ls -A Converted | grep -q '\.unfinished$' || skip "the run ended before it could be killed"
run_wine 300 "$EXE"
[ "$wine_status" -eq 0 ] || fail "exit status $wine_status after a killed run"
! ls -A Converted | grep -q '\.unfinished$' || fail "a temporary file is left after a full run"
[ "$(wc -c <Converted/big.kvr)" -eq $((lines * 9)) ] || fail "big.kvr is not whole"
printf 'sizeX=2\r\n' | cmp -s - Converted/small.kvr || fail "small.kvr differs"
echo "a killed run under Wine ($BITS-bit build): the next run leaves no temporary file"
