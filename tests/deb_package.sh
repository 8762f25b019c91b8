#!/bin/sh
# Makes the .deb of build tree $1 with cpack $2 and passes if it is named
# and described as a Debian package of version $3 should be, holds the
# stripped program and the man page, and the program unpacked from it runs.
set -eu
build=$1 cpack=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && "$cpack" -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/avoidrec_"$version"_*.deb)

field() {
  got=$(dpkg-deb -f "$deb" "$1")
  case $got in
    $2) ;;
    *) echo "$1: $got" >&2; exit 1 ;;
  esac
}
field Package avoidrec
field Version "$version"
field Section math
field Maintainer "*<*@*>"
field Description "*binary strings*"
dpkg-deb -f "$deb" Description | awk 'length > 80 { exit 1 }' ||
  { echo "a description line is longer than 80 characters" >&2; exit 1; }

dpkg-deb -x "$deb" "$work/root"
files=$(cd "$work/root" && find . -type f | sort | tr '\n' ' ')
test "$files" = "./usr/bin/avoidrec ./usr/share/man/man1/avoidrec.1 " ||
  { echo "packed: $files" >&2; exit 1; }
if readelf -S "$work/root/usr/bin/avoidrec" | grep -q '\.symtab'; then
  echo "the program is not stripped" >&2
  exit 1
fi
line=$(echo 00101 | "$work/root/usr/bin/avoidrec")
test "$line" = "enter word(ex. 00101) : 0 2 0 0 0 -1 " || { echo "ran: $line" >&2; exit 1; }
