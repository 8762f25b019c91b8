#pragma once

// Whether the program's process group is orphaned: no member has a parent in
// another group of the same session, so no shell can bring it back to the
// foreground. For the key wait, where the kernel cannot tell by a read from
// the background, since SIGTTIN is ignored or blocked. Sends nothing to
// anyone. Where the platform cannot tell, the group is taken as not orphaned.
bool group_orphaned();
