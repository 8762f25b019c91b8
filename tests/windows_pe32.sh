#!/bin/sh
# Passes if $2 is a 32-bit Windows console program (PE32, CUI) that imports
# from KERNEL32.dll and msvcrt.dll only, so that it runs with no DLL beside
# it. $1 is MinGW-w64's objdump.
set -eu
objdump=$1 exe=$2
headers=$("$objdump" -p "$exe")
echo "$headers" | grep -q "(PE32)" || { echo "not PE32" >&2; exit 1; }
echo "$headers" | grep -q "(Windows CUI)" || { echo "not a console program" >&2; exit 1; }
others=$(echo "$headers" | grep "DLL Name" | grep -iv -e kernel32.dll -e msvcrt.dll || true)
test -z "$others" || { echo "imports from other DLLs: $others" >&2; exit 1; }
