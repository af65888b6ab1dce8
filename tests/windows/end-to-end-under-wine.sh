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
