#!/bin/sh
# Makes the .deb of build tree $1 with cpack $2 and passes if it is named
# and described as a Debian package of version $3 should be, holds the
# stripped program (without .comment either), its man page, changelog and copyright notice, carries a
# matching SHA-256 file, passes lintian $5 without an error or a warning
# (unless $5 is -), and the program unpacked from it runs. Then it builds the
# package again from source tree $4 with cmake $6 and the configure options
# that follow, in another directory, a moment later, and passes only if the
# two are the same bytes.
# For a package built for another architecture, the environment names its
# Debian architecture (AVOIDREC_DEB_ARCHITECTURE), the program that runs the
# unpacked one (AVOIDREC_LAUNCHER, an emulator), and the cli_test built with
# it (AVOIDREC_CLI_TEST), whose pipe cases then run on the unpacked program.
set -eu
build=$1 cpack=$2 version=$3 source=$4 lintian=$5 cmake=$6
shift 6
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
field Architecture "${AVOIDREC_DEB_ARCHITECTURE:-$(dpkg --print-architecture)}"
field Version "$version"
field Section math
field Maintainer "*<*@*>"
field Description "*binary strings*"
dpkg-deb -f "$deb" Description | awk 'length > 80 { exit 1 }' ||
  { echo "a description line is longer than 80 characters" >&2; exit 1; }

(cd "$work" && sha256sum --quiet -c "$deb.sha256") || { echo "the checksum file does not match" >&2; exit 1; }

if [ "$lintian" != - ]; then
  "$lintian" --fail-on error,warning "$deb" 2>/dev/null ||
    { "$lintian" "$deb" >&2; exit 1; }
fi

dpkg-deb -x "$deb" "$work/root"
files=$(cd "$work/root" && find . -type f | sort | tr '\n' ' ')
want="./usr/bin/avoidrec ./usr/share/doc/avoidrec/changelog.gz ./usr/share/doc/avoidrec/copyright"
want="$want ./usr/share/lintian/overrides/avoidrec ./usr/share/man/man1/avoidrec.1.gz "
test "$files" = "$want" || { echo "packed: $files" >&2; exit 1; }
sections=$(readelf -S "$work/root/usr/bin/avoidrec")
for section in .symtab .comment; do
  if echo "$sections" | grep -qF " $section "; then
    echo "the packed program has a $section section" >&2
    exit 1
  fi
done
line=$(echo 00101 | ${AVOIDREC_LAUNCHER:-} "$work/root/usr/bin/avoidrec")
test "$line" = "enter word(ex. 00101) : 0 2 0 0 0 -1 " || { echo "ran: $line" >&2; exit 1; }

if [ -n "${AVOIDREC_CLI_TEST:-}" ]; then
  AVOIDREC_EXE="$work/root/usr/bin/avoidrec" "$AVOIDREC_LAUNCHER" -L "$AVOIDREC_SYSROOT" \
    "$AVOIDREC_CLI_TEST" --gtest_brief=1 --gtest_filter="$AVOIDREC_CLI_CASES" >&2 ||
    { echo "the unpacked program failed cli_test" >&2; exit 1; }
fi

sleep 1
"$cmake" -S "$source" -B "$work/again" -DBUILD_TESTING=OFF "$@" >/dev/null
"$cmake" --build "$work/again" --parallel >/dev/null
(cd "$work/again" && "$cpack" -G DEB -B "$work/again-package" >/dev/null)
cmp "$deb" "$work/again-package/$(basename "$deb")" ||
  { echo "a second build of the same sources gave another .deb" >&2; exit 1; }
