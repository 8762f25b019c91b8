#!/bin/sh
# Passes if Windows package $2 (a .zip, listed and unpacked with cmake $1)
# holds just avoidrec.exe and README.txt in one folder, and the read-me has
# CR LF line ends and names version $3.
set -eu
cmake=$1 zip=$2 version=$3
top=avoidrec-$version-win32
files=$("$cmake" -E tar tf "$zip" | grep -v '/$' | sort | tr '\n' ' ')
test "$files" = "$top/README.txt $top/avoidrec.exe " || { echo "packed: $files" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$cmake" -E tar xf "$zip")
cr=$(printf '\r')
if grep -qv "$cr\$" "$work/$top/README.txt"; then
  echo "README.txt has a line without CR LF" >&2
  exit 1
fi
grep -q "avoidrec $version for Windows" "$work/$top/README.txt" || { echo "no version" >&2; exit 1; }
