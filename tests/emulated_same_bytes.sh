#!/bin/sh
# Passes if the program $3, built for another architecture and run by the
# emulator $2, writes the same bytes and ends with the same status as this
# machine's program $1, for every binary word of 1 to 8 bytes, the costliest
# words of 51 bytes, and a few rejected inputs. A program that cannot start
# gives another status and fails.
set -u
reference=$1 emulator=$2 program=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
check() {
  printf '%s\n' "$1" >"$work/in"
  "$reference" <"$work/in" >"$work/out.here" 2>"$work/err.here"
  echo $? >>"$work/out.here"
  "$emulator" "$program" <"$work/in" >"$work/out.there" 2>"$work/err.there"
  echo $? >>"$work/out.there"
  if ! cmp -s "$work/out.here" "$work/out.there" || ! cmp -s "$work/err.here" "$work/err.there"; then
    echo "word $1: here" >&2
    cat "$work/out.here" "$work/err.here" >&2
    echo "there" >&2
    cat "$work/out.there" "$work/err.there" >&2
    failed=1
  fi
}

# Every binary word of each length, counted out in binary.
for length in 1 2 3 4 5 6 7 8; do
  count=$((1 << length))
  n=0
  while [ $n -lt $count ]; do
    word="" bits=$n i=0
    while [ $i -lt "$length" ]; do
      word="$((bits % 2))$word"
      bits=$((bits / 2))
      i=$((i + 1))
    done
    check "$word"
    n=$((n + 1))
  done
done
for word in 001001000100100010010001001000100100010010001001000 \
  010101010101010101010101010101010101010101010101010 \
  000000000000000000000000000000000000000000000000001 \
  0000000000000000000000000000000000000000000000000000 ab abab ''; do
  check "$word"
done
exit $failed
