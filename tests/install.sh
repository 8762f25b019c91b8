#!/bin/sh
# Installs build tree $2 with cmake $1 twice, once under a prefix and once
# with DESTDIR, and passes if each holds exactly the program, its man page,
# changelog and copyright notice where GNUInstallDirs puts them (the lintian
# override is the .deb's alone), and the installed program runs.
set -eu
cmake=$1 build=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
"$cmake" --install "$build" --prefix "$root/prefix" >/dev/null
DESTDIR="$root/dest" "$cmake" --install "$build" --prefix /opt/avoidrec >/dev/null
for dir in "$root/prefix" "$root/dest/opt/avoidrec"; do
  files=$(cd "$dir" && find . -type f | sort | tr '\n' ' ')
  want="./bin/avoidrec ./share/doc/avoidrec/changelog.gz ./share/doc/avoidrec/copyright"
  want="$want ./share/man/man1/avoidrec.1.gz "
  test "$files" = "$want" ||
    { echo "installed under $dir: $files" >&2; exit 1; }
  line=$(echo 00101 | "$dir/bin/avoidrec")
  test "$line" = "enter word(ex. 00101) : 0 2 0 0 0 -1 " || { echo "ran: $line" >&2; exit 1; }
done
