#!/bin/sh
# Passes if the Windows program $3, run by the Wine loader $2, writes the
# same bytes to standard output and standard error, and ends with the same
# status, as the Linux program $1 for each input of the table below: words
# of every length, three symbols, bytes from 0x80 up, CR LF, 0x1A, NUL, 51
# and 52 bytes, none. The Windows program's CR LF line ends and the text of
# the interpreter's "pause", which its own program writes, are set aside.
set -u
linux=$1 wine=$2 windows=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs program "$@" on the input in $work/in; leaves its output in
# $work/out.<name> and $work/err.<name>, and its status in $work/status.<name>.
run() {
  name=$1
  shift
  "$@" <"$work/in" >"$work/out.$name" 2>"$work/err.$name"
  echo $? >"$work/status.$name"
  tr -d '\r' <"$work/out.$name" | sed 's/Press any key to continue.*$//' >"$work/out.$name.plain"
  tr -d '\r' <"$work/err.$name" >"$work/err.$name.plain"
}

failed=0
check() {
  printf "$1" >"$work/in"
  run linux "$linux"
  run windows "$wine" "$windows"
  for part in out err; do
    if ! cmp -s "$work/$part.linux" "$work/$part.windows.plain"; then
      echo "input $1: standard $part differs" >&2
      od -c "$work/$part.linux" >&2
      od -c "$work/$part.windows.plain" >&2
      failed=1
    fi
  done
  if ! cmp -s "$work/status.linux" "$work/status.windows"; then
    echo "input $1: status $(cat "$work/status.linux") on Linux, $(cat "$work/status.windows") on Windows" >&2
    failed=1
  fi
}

word=""
for length in $(seq 1 52); do
  word="${word}$((length * length % 3 % 2))"
  check "$word\n"
done
for input in 'abcab\n' 'aab\n' '\200\377\200\n' '\303\251\303\251x\n' '0101\r\n' '01\03201\n' \
  '\03201\n' '01\00001\n' '  00101  0101\n' '\n\n 011\n' '0101' '' '\n' ' \t\r\n'; do
  check "$input"
done
exit $failed
