#!/bin/sh
# Passes if man page $1 renders without a single warning and has the
# sections a reader looks for, in order, and its footer names version $2.
set -eu
page=$1 version=$2
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
test -z "$warnings" || { echo "$warnings" >&2; exit 1; }
text=$(MANWIDTH=80 man -l "$page")
# In the order man-pages(7) gives, so that what to type and what comes back
# come first, the details in NOTES after them.
last=0
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" NOTES EXAMPLES "SEE ALSO"; do
  at=$(echo "$text" | grep -nx "$section" | head -n 1 | cut -d: -f1)
  test -n "$at" || { echo "no section $section" >&2; exit 1; }
  test "$at" -gt "$last" || { echo "section $section out of order" >&2; exit 1; }
  last=$at
done
echo "$text" | tail -n 1 | grep -q "avoidrec $version" || { echo "footer lacks $version" >&2; exit 1; }
