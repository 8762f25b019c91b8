#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "process_group.h"

namespace {

// What /proc/PID/stat tells of a process's place in its session.
struct place {
  pid_t parent = 0;
  pid_t group = 0;
  pid_t session = 0;
};

// The name, between the first '(' and the last ')', may hold anything: the
// fields are read after it.
bool read_place(const char* pid, place& p) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "re"), std::fclose);
  if (!file) return false;
  char line[1024];
  const std::size_t size = std::fread(line, 1, sizeof line - 1, file.get());
  line[size] = '\0';
  const char* end = nullptr;
  for (const char* c = line; *c != '\0'; ++c)
    if (*c == ')') end = c;
  char state = 0;
  return end != nullptr &&
         std::sscanf(end + 1, " %c %d %d %d", &state, &p.parent, &p.group, &p.session) == 4;
}

bool is_a_number(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name)
    if (*name < '0' || *name > '9') return false;
  return true;
}

}  // namespace

// POSIX's definition, member by member: a walk over /proc, a few hundred
// small reads on a busy machine, made only from the background where the
// wait would otherwise look each second without knowing. A parent outside
// the PID namespace shows as 0, and a hidden one cannot be read: either
// keeps the group. (A member hidden from this user is not seen at all; its
// parent is most likely the program's own, which the walk does see.)
bool group_may_be_orphaned([[maybe_unused]] pid_t parent_at_start) {
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  if (!proc) return false;
  const pid_t group = getpgrp();
  while (const dirent* entry = readdir(proc.get())) {
    place member;
    if (!is_a_number(entry->d_name) || !read_place(entry->d_name, member) || member.group != group)
      continue;
    if (member.parent == 0) return false;
    place parent;
    char parent_pid[16];
    std::snprintf(parent_pid, sizeof parent_pid, "%d", member.parent);
    if (!read_place(parent_pid, parent)) return false;
    if (parent.group != group && parent.session == member.session) return false;
  }
  return true;
}
