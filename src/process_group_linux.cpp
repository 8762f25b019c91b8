#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "process_group.h"

namespace {

// One process's parent, process group and session.
struct process_ids {
  pid_t parent = -1;
  pid_t group = -1;
  pid_t session = -1;
};

constexpr std::size_t longest_path = 64;
constexpr std::size_t longest_stat = 1024;  // more than the fields up to the session take

// Reads them from /proc/<pid>/stat.
bool read_ids(const char* pid, process_ids& ids) {
  char path[longest_path];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  char stat[longest_stat] = {};
  const std::size_t size = std::fread(stat, 1, sizeof stat - 1, file);
  std::fclose(file);
  stat[size] = '\0';
  // The command name, in parentheses, may hold anything: the fields start
  // after its last ')', with the state, then the parent, group and session.
  const char* at = std::strrchr(stat, ')');
  if (at == nullptr || at[1] != ' ' || at[2] == '\0') return false;
  at += 3;
  long values[3] = {};
  for (long& value : values) {
    char* end = nullptr;
    constexpr int decimal = 10;
    value = std::strtol(at, &end, decimal);
    if (end == at || *end != ' ') return false;
    at = end;
  }
  ids = {static_cast<pid_t>(values[0]), static_cast<pid_t>(values[1]),
         static_cast<pid_t>(values[2])};
  return true;
}

}  // namespace

// Looks at every process in /proc: the group is not orphaned as soon as one
// member's parent is in another group of the same session. Without /proc the
// group is taken as not orphaned.
bool group_orphaned() {
  const pid_t group = getpgrp();
  const pid_t session = getsid(0);
  DIR* const processes = opendir("/proc");
  if (processes == nullptr) return false;
  bool orphaned = true;
  // One thread: readdir's static state is this loop's alone.
  // cppcheck-suppress readdirCalled
  while (const dirent* entry = readdir(processes)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    process_ids member;
    if (!read_ids(entry->d_name, member) || member.group != group) continue;
    char parent_pid[longest_path];
    std::snprintf(parent_pid, sizeof parent_pid, "%d", static_cast<int>(member.parent));
    process_ids parent;
    if (read_ids(parent_pid, parent) && parent.group != group && parent.session == session) {
      orphaned = false;
      break;
    }
  }
  closedir(processes);
  return orphaned;
}
