#!/bin/sh
# Whether Wine can run 32-bit Windows programs here: its 32-bit loader needs
# the kernel's 32-bit emulation, which a kernel may have switched off
# (ia32_emulation=off). Exits 0 if it can, and 77 with the reason on standard
# error if it cannot; the build then registers no 32-bit run under Wine.
wine=$1
if reason=$("$wine" --version 2>&1); then
  exit 0
fi
echo "Wine's 32-bit loader does not start on this machine: $reason" >&2
exit 77
