#!/bin/sh
# Passes if program $1 is linked as $2 says, a static PIE where the toolchain
# links one, a plain static program elsewhere:
#   static-pie  an ELF file of type DYN, with no interpreter and no library
#               it needs, which runs and is loaded at another address on each
#               run (where the kernel randomises addresses);
#   static      an ELF file of type EXEC, with no interpreter, which runs.
set -eu
program=$1 kind=$2
case $kind in
  static-pie) want=DYN described='*static-pie linked*' ;;
  static) want=EXEC described='*statically linked*' ;;
  *) echo "static_pie.sh: unknown kind '$kind'" >&2; exit 2 ;;
esac
type=$(readelf -hW "$program" | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p')
test "$type" = "$want" || { echo "$program is of type $type, not $want as a $kind program is" >&2; exit 1; }
if readelf -lW "$program" | grep -q ' INTERP '; then
  echo "$program names an interpreter, a dynamic loader" >&2
  exit 1
fi
if readelf -dW "$program" | grep -q '(NEEDED)'; then
  echo "$program needs a shared library" >&2
  exit 1
fi
if command -v file >/dev/null; then
  says=$(file -b "$program")
  case $says in
    $described) ;;
    *) echo "file says $program is: $says" >&2; exit 1 ;;
  esac
fi
line=$(echo 00101 | "$program")
test "$line" = "enter word(ex. 00101) : 0 2 0 0 0 -1 " || { echo "ran: $line" >&2; exit 1; }
test "$kind" = static-pie || exit 0
[ "$(cat /proc/sys/kernel/randomize_va_space 2>/dev/null || echo 0)" != 0 ] || exit 0

# Where a run of the program is loaded: the start of its first mapping,
# read while it waits for its word on a FIFO.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkfifo "$work/fifo"
exe=$(readlink -f "$program")
load_address() {
  "$program" <"$work/fifo" >/dev/null 2>&1 &
  pid=$!
  exec 3>"$work/fifo"
  tries=0
  until [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$exe" ]; do
    tries=$((tries + 1))
    [ $tries -lt 1000 ] || { echo "the program did not start" >&2; exit 1; }
    sleep 0.01
  done
  sed -n '1s/-.*//p' "/proc/$pid/maps"
  exec 3>&-
  wait $pid || true
}
first=$(load_address)
second=$(load_address)
test "$first" != "$second" || { echo "two runs were both loaded at $first" >&2; exit 1; }
