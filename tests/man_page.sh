#!/bin/sh
# Passes if man page $1 renders without a single warning and has the
# sections a reader looks for, and its footer names version $2.
set -eu
page=$1 version=$2
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
test -z "$warnings" || { echo "$warnings" >&2; exit 1; }
text=$(MANWIDTH=80 man -l "$page")
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES NOTES "SEE ALSO"; do
  echo "$text" | grep -qx "$section" || { echo "no section $section" >&2; exit 1; }
done
echo "$text" | tail -n 1 | grep -q "avoidrec $version" || { echo "footer lacks $version" >&2; exit 1; }
