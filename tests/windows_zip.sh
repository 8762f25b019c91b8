#!/bin/sh
# Passes if Windows package $2 (a .zip, win32 or win64, listed and unpacked
# with cmake $1)
# holds just avoidrec.exe and README.txt in one folder, the read-me has CR LF
# line ends, names version $3 and carries the notice of source tree $4's
# packaging/copyright (all but its first line, the program's name), and a
# matching SHA-256 file lies beside it.
# Then it builds the package again from source tree $4 with toolchain file
# $5, in another directory, a moment later, and passes only if the two are
# the same bytes.
set -eu
cmake=$1 zip=$2 version=$3 source=$4 toolchain=$5
top=$(basename "$zip" .zip)
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
tr -d '\r' <"$work/$top/README.txt" >"$work/readme"
grep -q '^Copyright ' "$source/packaging/copyright" || { echo "no copyright line in packaging/copyright" >&2; exit 1; }
sed 1d "$source/packaging/copyright" >"$work/notice"
while IFS= read -r line; do
  if [ -n "$line" ] && ! grep -Fxq -- "$line" "$work/readme"; then
    echo "README.txt lacks this line of the copyright notice: $line" >&2
    exit 1
  fi
done <"$work/notice"
(cd "$(dirname "$zip")" && sha256sum --quiet -c "$(basename "$zip").sha256") ||
  { echo "the checksum file does not match" >&2; exit 1; }

sleep 1
"$cmake" -S "$source" -B "$work/again" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
"$cmake" --build "$work/again" --parallel >/dev/null
"$cmake" --build "$work/again" --target package >/dev/null
cmp "$zip" "$work/again/$(basename "$zip")" ||
  { echo "a second build of the same sources gave another .zip" >&2; exit 1; }
