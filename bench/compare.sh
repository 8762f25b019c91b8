#!/usr/bin/env bash
# Counts the instructions of a whole run of the release avoidrec and of the
# floor (bench/floor.c: the same console I/O, no calculation, built the
# ordinary way) with callgrind, for the costliest words of 51 bytes, and
# prints them as a table. Exits 1 if avoidrec costs more than the floor.
# Builds in build-bench, a tree of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench --target avoidrec >/dev/null
gcc -O2 bench/floor.c -o build-bench/floor

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
echo "| word | avoidrec | floor | ratio |"
echo "|---|---:|---:|---:|"
for w in "${words[@]}"; do
  ours=$(count build-bench/avoidrec "$w")
  floor=$(count build-bench/floor "$w")
  ratio=$(awk -v a="$ours" -v b="$floor" 'BEGIN { printf "%.3f", a / b }')
  echo "| \`$w\` | $ours | $floor | $ratio |"
  worst=$(awk -v r="$ratio" -v w="$worst" 'BEGIN { print (r > w) ? r : w }')
done
awk -v w="$worst" 'BEGIN { exit !(w <= 1.0) }' || { echo "avoidrec costs more than the floor" >&2; exit 1; }
