#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "process_group.h"

namespace {

// What /proc/PID/stat tells of a process's place in its session.
struct place {
  pid_t parent = 0;
  pid_t group = 0;
  pid_t session = 0;
};

// The fields up to the session fit in far less, the name included.
constexpr std::size_t longest_stat = 1024;
constexpr std::size_t longest_path = 32;

// Reads the next number of a stat line; false if there is none.
bool next_number(const char*& at, pid_t& number) {
  char* after = nullptr;
  const long read = std::strtol(at, &after, 10);
  if (after == at) return false;
  at = after;
  number = static_cast<pid_t>(read);
  return true;
}

// The name, between the first '(' and the last ')', may hold anything: the
// state and the numbers are read after it.
bool read_place(pid_t pid, place& p) {
  char path[longest_path];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "re"), std::fclose);
  if (!file) return false;
  char line[longest_stat];
  const std::size_t size = std::fread(line, 1, sizeof line - 1, file.get());
  line[size] = '\0';
  const char* at = std::strrchr(line, ')');
  if (at == nullptr || std::strlen(at) < 3) return false;
  at += 3;  // ") S"
  return next_number(at, p.parent) && next_number(at, p.group) && next_number(at, p.session);
}

// The process a /proc entry names, or 0 for one that names none.
pid_t process_named(const char* name) {
  char* after = nullptr;
  const long pid = std::strtol(name, &after, 10);
  return after != name && *after == '\0' ? static_cast<pid_t>(pid) : 0;
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
  // One thread; readdir_r, which cppcheck would have instead, is deprecated.
  // cppcheck-suppress readdirCalled
  while (const dirent* entry = readdir(proc.get())) {
    const pid_t pid = process_named(entry->d_name);
    place member;
    if (pid <= 0 || !read_place(pid, member) || member.group != group) continue;
    place parent;
    if (member.parent == 0 || !read_place(member.parent, parent)) return false;
    if (parent.group != group && parent.session == member.session) return false;
  }
  return true;
}
