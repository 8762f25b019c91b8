#!/bin/sh
# Installs build tree $2 with cmake $1 twice, once under a prefix and once
# with DESTDIR, and passes if each holds exactly the program, its man page,
# changelog and copyright notice where GNUInstallDirs puts them (the lintian
# override is the .deb's alone), and the installed program runs and has no
# .comment section.
#
# Then the uninstall target: installed with DESTDIR under a prefix that
# already holds a program of the same name outside DESTDIR, and uninstalled
# once without DESTDIR and once with it, it must remove every file it
# installed and every directory it made, and nothing else: the prefix's own
# program and the directories that were there before stay. The tree's own
# record of an install, if any, is put back at the end.
set -eu
cmake=$1 build=$2
root=$(mktemp -d)
record=$build/install_paths.txt
if [ -e "$record" ]; then
  mv "$record" "$root/record"
fi
trap 'rm -f "$record"; if [ -e "$root/record" ]; then mv "$root/record" "$record"; fi; rm -rf "$root"' EXIT
"$cmake" --install "$build" --prefix "$root/prefix" >/dev/null
DESTDIR="$root/dest" "$cmake" --install "$build" --prefix /opt/avoidrec >/dev/null
installed="./bin/avoidrec ./share/doc/avoidrec/changelog.gz ./share/doc/avoidrec/copyright"
installed="$installed ./share/man/man1/avoidrec.1.gz"
for dir in "$root/prefix" "$root/dest/opt/avoidrec"; do
  files=$(cd "$dir" && find . -type f | sort | tr '\n' ' ')
  test "$files" = "$installed " ||
    { echo "installed under $dir: $files" >&2; exit 1; }
  line=$(echo 00101 | "$dir/bin/avoidrec")
  test "$line" = "enter word(ex. 00101) : 0 2 0 0 0 -1 " || { echo "ran: $line" >&2; exit 1; }
  if readelf -S "$dir/bin/avoidrec" | grep -qF ' .comment '; then
    echo "the program installed under $dir has a .comment section" >&2
    exit 1
  fi
done

# Everything under the live prefix and the staging tree, with a checksum of
# each file's contents.
snapshot() {
  (cd "$root" && find live stage | sort | while IFS= read -r path; do
    if [ -f "$path" ]; then echo "$path $(cksum <"$path")"; else echo "$path"; fi
  done)
}

live=$root/live
mkdir -p "$live/bin" "$live/share/man/man1"
echo "the live prefix's own program" >"$live/bin/avoidrec"
echo "the live prefix's own page" >"$live/share/man/man1/avoidrec.1.gz"
for at_uninstall in "" "$root/stage"; do
  # In the staging tree, share/man was there before, empty, and share/doc
  # held another program's notes.
  rm -rf "$root/stage"
  mkdir -p "$root/stage$live/share/man" "$root/stage$live/share/doc/other"
  echo "another program's notes" >"$root/stage$live/share/doc/other/notes"
  before=$(snapshot)
  DESTDIR="$root/stage" "$cmake" --install "$build" --prefix "$live" >/dev/null
  files=$(cd "$root/stage$live" && find . -type f | grep -v /other/ | sort | tr '\n' ' ')
  test "$files" = "$installed " || { echo "installed under $root/stage$live: $files" >&2; exit 1; }
  if [ -n "$at_uninstall" ]; then
    DESTDIR=$at_uninstall "$cmake" --build "$build" --target uninstall >/dev/null
  else
    "$cmake" --build "$build" --target uninstall >/dev/null
  fi
  after=$(snapshot)
  if [ "$after" != "$before" ]; then
    echo "uninstalled with DESTDIR '$at_uninstall', the trees went from" >&2
    echo "$before" >&2
    echo "to" >&2
    echo "$after" >&2
    exit 1
  fi
  test ! -e "$record" || { echo "the uninstall left its record: $(cat "$record")" >&2; exit 1; }
  # The first uninstall also removed the two installs above, directories
  # made for them included.
  for dir in "$root/prefix" "$root/dest"; do
    test ! -e "$dir" || { echo "the uninstall left $dir" >&2; exit 1; }
  done
done
