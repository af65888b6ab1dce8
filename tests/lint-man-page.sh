#!/bin/sh
# Lints the man page with mandoc: any message, style hints included, fails.
# Exit status 77 (skipped) where mandoc is not installed.
command -v mandoc >/dev/null 2>&1 || { echo "SKIPPED: mandoc is not installed"; exit 77; }
messages=$(mandoc -Tlint "$1" 2>&1)
status=$?
if [ "$status" -ne 0 ] || [ -n "$messages" ]; then
  echo "$messages"
  echo "FAILED: mandoc -Tlint ended with status $status"
  exit 1
fi
echo "mandoc -Tlint $1: no message"
