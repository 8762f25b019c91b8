#!/bin/sh
# Passes if $2 is a Windows console program (CUI) of format $3, PE32 for
# 32-bit or PE32+ for 64-bit Windows, that imports from KERNEL32.dll and
# msvcrt.dll only, so that it runs with no DLL beside it. $1 is MinGW-w64's
# objdump.
set -eu
objdump=$1 exe=$2 format=$3
headers=$("$objdump" -p "$exe")
echo "$headers" | grep -qF "($format)" || { echo "not $format" >&2; exit 1; }
echo "$headers" | grep -q "(Windows CUI)" || { echo "not a console program" >&2; exit 1; }
others=$(echo "$headers" | grep "DLL Name" | grep -iv -e kernel32.dll -e msvcrt.dll || true)
test -z "$others" || { echo "imports from other DLLs: $others" >&2; exit 1; }
