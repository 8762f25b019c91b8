#!/bin/sh
# Runs program $2 under valgrind $1 with standard input from file $3 and
# passes if valgrind finds no memory error and no definite or indirect leak,
# and the program's exit status is $4.
set -u
valgrind=$1 program=$2 input=$3 want=$4
"$valgrind" --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  "$program" <"$input" >/dev/null
status=$?
test "$status" -eq "$want" || { echo "exit status $status, wanted $want" >&2; exit 1; }
