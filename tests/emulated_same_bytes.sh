#!/bin/sh
# Passes if the program $3, built for another architecture and run by the
# emulator $2, writes the same bytes and ends with the same status as this
# machine's program $1, for every binary word of 1 to 8 bytes, the costliest
# words of 51 bytes, and a few rejected inputs. A program that cannot start
# gives another status and fails. Each start under the emulator takes some
# 50 ms, so the words are shared between two runs side by side, one a core.
set -u
reference=$1 emulator=$2 program=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Compares the two programs on word $1, with its files in directory $2.
check() {
  printf '%s\n' "$1" >"$2/in"
  "$reference" <"$2/in" >"$2/out.here" 2>"$2/err.here"
  echo $? >>"$2/out.here"
  "$emulator" "$program" <"$2/in" >"$2/out.there" 2>"$2/err.there"
  echo $? >>"$2/out.there"
  if ! cmp -s "$2/out.here" "$2/out.there" || ! cmp -s "$2/err.here" "$2/err.there"; then
    echo "word $1: here" >&2
    cat "$2/out.here" "$2/err.here" >&2
    echo "there" >&2
    cat "$2/out.there" "$2/err.there" >&2
    return 1
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
    echo "$word"
    n=$((n + 1))
  done
done >"$work/words"
for word in 001001000100100010010001001000100100010010001001000 \
  010101010101010101010101010101010101010101010101010 \
  000000000000000000000000000000000000000000000000000 \
  000000000000000000000000000000000000000000000000001 \
  0000000000000000000000000000000000000000000000000000 ab abab ''; do
  echo "$word"
done >>"$work/words"

# Checks every other word, from the first (part 1) or the second (part 2),
# and keeps what differs for the end, so that the parts' reports do not mix.
part() {
  mkdir "$work/$1"
  failed=0
  awk -v part="$1" 'NR % 2 == part % 2' "$work/words" | {
    while IFS= read -r word; do
      check "$word" "$work/$1" 2>>"$work/$1/differs" || failed=1
    done
    return $failed
  }
}
part 1 &
first=$!
part 2 &
second=$!
failed=0
wait $first || failed=1
wait $second || failed=1
cat "$work/1/differs" "$work/2/differs" >&2 2>/dev/null
exit $failed
