#!/bin/sh
# The 32-bit deliverable's version resource, manifest and icon, read with
# pefile (check_exe_resources.py); the version is the project's.
. "$(dirname "$0")/common.sh"
need_file "$EXE32"
python=""
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c 'import pefile' 2>/dev/null; then
    python=$candidate
    break
  fi
done
[ -n "$python" ] || skip "Python 3 with pefile (python3-pefile) is not installed"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD32/CMakeCache.txt")
"$python" "$(dirname "$0")/check_exe_resources.py" "$EXE32" "$version"
