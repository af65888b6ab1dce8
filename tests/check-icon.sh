#!/bin/sh
# The committed icon is the one its script draws: a change to either alone
# fails. Exit status 77 (skipped) where Python 3 is not installed.
#   check-icon.sh SOURCE_DIR SCRATCH_FILE
command -v python3 >/dev/null 2>&1 || { echo "SKIPPED: python3 is not installed"; exit 77; }
set -e
python3 "$1/tools/icon/draw_icon.py" "$2"
if ! cmp "$2" "$1/tools/icon/BrushPreset_Convertion.ico"; then
  echo "FAILED: tools/icon/BrushPreset_Convertion.ico is not what draw_icon.py draws; run"
  echo "  python3 tools/icon/draw_icon.py tools/icon/BrushPreset_Convertion.ico"
  exit 1
fi
rm -f "$2"
echo "the icon is the one its script draws"
