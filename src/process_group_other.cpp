#include <unistd.h>

#include "process_group.h"

bool group_may_be_orphaned(pid_t parent_at_start) {
  return getppid() != parent_at_start;
}
