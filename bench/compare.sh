#!/usr/bin/env bash
# Counts the instructions of a whole run of the release avoidrec and of the
# floor (bench/floor.c: the same console I/O, no calculation) with
# callgrind, for the costliest words of 51 bytes, and prints them as a table.
# The floor is built twice: the ordinary way, with the compiler's defaults
# (on Debian a dynamically linked PIE), which is the bar, and statically
# linked, to show what the calculation itself adds: most of the dynamic
# floor's cost is the dynamic loader's. It exits 1 if avoidrec costs more
# than 1.05 times the bar: the margin is the price of address randomisation,
# the relocations that avoidrec, a static PIE, applies to itself as it
# starts. Under the table, three lines say what its columns mean.
#
# Usage: bench/compare.sh [tree]
# With no argument it configures and builds build-bench, a tree of its own,
# with warnings as errors like every other tree; given a release build tree
# (the test command passes its build-release), it measures that tree's
# program and builds only the floors there.
set -euo pipefail
cd "$(dirname "$0")/.."

tree=${1:-build-bench}
if (($# == 0)); then
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DAVOIDREC_WERROR=ON >/dev/null
fi
grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$tree/CMakeCache.txt" ||
  { echo "compare.sh: $tree is not a release build tree" >&2; exit 1; }
cmake --build "$tree" --target avoidrec >/dev/null
warnings=(-Wall -Wextra -Wpedantic -Werror)
gcc -O2 "${warnings[@]}" bench/floor.c -o "$tree/floor"
gcc -O2 "${warnings[@]}" -static bench/floor.c -o "$tree/floor-static"

# Instructions executed by program $1 reading word $2.
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" <<<"$2" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}

words=(
  "$(printf '0%.0s' {1..51})"
  "$(printf '0%.0s' {1..50})1"
  "$(printf '01%.0s' {1..25})0"
  001001000100100010010001001000100100010010001001000
)
worst=0
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'
}

echo "| word | avoidrec | floor | ratio | static floor | ratio to it |"
echo "|---|---:|---:|---:|---:|---:|"
for w in "${words[@]}"; do
  ours=$(count "$tree/avoidrec" "$w")
  floor=$(count "$tree/floor" "$w")
  static_floor=$(count "$tree/floor-static" "$w")
  ratio=$(ratio "$ours" "$floor")
  echo "| \`$w\` | $ours | $floor | $ratio | $static_floor | $(ratio "$ours" "$static_floor") |"
  worst=$(awk -v r="$ratio" -v w="$worst" 'BEGIN { print (r > w) ? r : w }')
done
limit=1.05
echo "ratio: avoidrec against the floor, bench/floor.c (the same I/O, linked dynamically);"
echo "the check: at most $limit. static floor: floor.c linked statically; the ratio to it, a little"
echo "over 2, is C++'s start-up and the calculation, which the floor lacks: expected, not checked."
awk -v w="$worst" -v limit="$limit" 'BEGIN { exit !(w <= limit) }' ||
  { echo "avoidrec costs more than $limit times the floor" >&2; exit 1; }
