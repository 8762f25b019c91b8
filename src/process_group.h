#pragma once

#include <sys/types.h>

// What the key wait asks of the system about its process group without
// asking the kernel by a change of the terminal, which from a background
// group that is not orphaned would send SIGTTOU to the whole group. Each
// system has its own file.

// Whether the program's process group may be orphaned: no member has its
// parent in another group of the same session, so no shell can bring it
// back to the foreground. On Linux it is read from /proc, and anything that
// cannot be read there (a hidden process, a parent outside the PID
// namespace) counts as a parent that keeps the group; elsewhere the sign is
// a parent other than `parent_at_start`.
bool group_may_be_orphaned(pid_t parent_at_start);
