#include "strace_helpers.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "pause_common.h"

namespace pause_tests {

namespace {

// The parts of text between separators.
std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(separator, from)) != std::string::npos;
       from = at + separator.size()) {
    parts.push_back(text.substr(from, at - from));
  }
  parts.push_back(text.substr(from));
  return parts;
}

// Whether a logged call changes the terminal's settings: tcsetattr makes an
// ioctl of TCSETS, TCSETSW or TCSETSF for TCSANOW, TCSADRAIN or TCSAFLUSH,
// and any of them may serve. strace names a request by every name its number
// has, "SNDCTL_TMR_START or TCSETS".
bool changes_settings(const std::string& call) {
  constexpr std::string_view start = "ioctl(";
  if (call.rfind(start, 0) != 0) return false;
  const std::size_t request = call.find(", ");
  if (request == std::string::npos) return false;
  const std::size_t end = call.find(',', request + 2);
  const std::string names = call.substr(request + 2, end - (request + 2));
  for (const std::string& name : split(names, " or ")) {
    if (name == "TCSETS" || name == "TCSETSW" || name == "TCSETSF") return true;
  }
  return false;
}

// The text of a logged call after `key` up to the next ',' or '}'.
std::string field(const std::string& call, const std::string& key) {
  const std::size_t at = call.find(key);
  if (at == std::string::npos) return "";
  const std::size_t from = at + key.size();
  return call.substr(from, call.find_first_of(",}", from) - from);
}

// Whether the settings that a logged change sets are canonical, line by
// line, as strace -v shows their local flags: c_lflag=ISIG|ICANON|ECHO...
bool canonical(const std::string& call) {
  for (const std::string& flag : split(field(call, "c_lflag="), "|")) {
    if (flag == "ICANON") return true;
  }
  return false;
}

// The logged calls, each with its number as `when` counts it.
std::string numbered(const std::vector<std::string>& calls) {
  if (calls.empty()) return "  none\n";
  std::ostringstream shown;
  int ioctls = 0;
  int reads = 0;
  for (const std::string& call : calls) {
    if (call.rfind("ioctl(", 0) == 0)
      shown << "  ioctl #" << ++ioctls << ": ";
    else if (call.rfind("read(", 0) == 0)
      shown << "  read #" << ++reads << ": ";
    else
      shown << "  ";
    shown << call << '\n';
  }
  return shown.str();
}

// One run of the program under strace that logs to `log`.
::testing::AssertionResult logged_run(const std::string& calls, detail shown,
                                      const std::string& log) {
  std::vector<std::string> action = {"-o", log};
  if (shown == detail::in_full) action.insert(action.begin(), "-v");
  pty_shell s;
  if (auto started = start(s, traced(calls, action)); !started) return started;
  if (!s.wait_for_text(prompt)) return ::testing::AssertionFailure() << "no prompt: " << s.screen;
  s.note_tracer();
  if (auto waiting = up_to_the_wait(s, "00101\n"); !waiting) return waiting;
  if (auto typing = s.type("q"); !typing) return typing;
  if (const int status = s.status(); status != 0) {
    return ::testing::AssertionFailure()
           << "the logged run ended with status " << status << ": " << s.screen;
  }
  // strace has written the whole log once it has ended.
  s.reap_tracer();
  return ::testing::AssertionSuccess();
}

}  // namespace

bool have_strace() {
  return std::strlen(AVOIDREC_STRACE) > 0;
}

std::vector<std::string> strace(const std::string& calls, const std::vector<std::string>& action) {
  std::vector<std::string> command = {AVOIDREC_STRACE,  "-DD", "-qq",        "-e",
                                      "trace=" + calls, "-e",  "signal=none"};
  command.insert(command.end(), action.begin(), action.end());
  return command;
}

launch traced(const std::string& calls, const std::vector<std::string>& action) {
  launch how;
  how.tracer = strace(calls, action);
  return how;
}

::testing::AssertionResult logged_calls(const std::string& calls, detail shown,
                                        std::vector<std::string>& lines) {
  char log[] = "/tmp/avoidrec-strace-XXXXXX";
  const int fd = mkstemp(log);
  if (fd < 0) return ::testing::AssertionFailure() << "no log file: " << std::strerror(errno);
  close(fd);
  const ::testing::AssertionResult run = logged_run(calls, shown, log);
  lines.clear();
  std::ifstream file(log);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  unlink(log);
  return run;
}

// raw is the first change to settings that are not canonical, whichever
// request makes it, TCSETSF too, which also discards what was typed ahead;
// the hint may be written before it or after. key_read is the first read
// after it. restore is the last change, which must make the settings
// canonical again.
::testing::AssertionResult find_landmarks(landmarks& found) {
  found = {};
  std::vector<std::string> calls;
  if (auto logged = logged_calls("ioctl,read," + waits_for_the_rest, detail::in_full, calls);
      !logged) {
    return logged << "\nThe calls logged:\n" << numbered(calls);
  }
  int ioctls = 0;
  int reads = 0;
  int waits = 0;
  bool restores_canonical_mode = false;
  for (const std::string& call : calls) {
    if (call.rfind("read(", 0) == 0) {
      ++reads;
      if (found.raw > 0 && found.key_read == 0) {
        found.key_read = reads;
        found.rest_wait = waits + 1;
      }
      continue;
    }
    if (call.rfind("ioctl(", 0) != 0) {
      ++waits;
      continue;
    }
    ++ioctls;
    if (!changes_settings(call)) continue;
    const bool to_canonical = canonical(call);
    if (found.raw == 0 && !to_canonical) found.raw = ioctls;
    found.restore = ioctls;
    restores_canonical_mode = to_canonical;
  }
  const char* missing = nullptr;
  if (found.raw == 0) {
    missing = "raw mode: no change of the terminal's settings to non-canonical ones";
  } else if (found.key_read == 0) {
    missing = "the key's read: no read after raw mode";
  } else if (found.restore <= found.raw || !restores_canonical_mode) {
    missing = "the restore: the last change of the settings does not make them canonical again";
  }
  if (missing == nullptr) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "landmark not found, " << missing << "\nThe calls logged:\n"
         << numbered(calls);
}

long blocked_in(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  return file >> number ? number : -1;
}

char state_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t name_end = stat.rfind(") ");
  return name_end != std::string::npos && name_end + 2 < stat.size() ? stat[name_end + 2] : '\0';
}

bool sleeping(pid_t pid) {
  return state_of(pid) == 'S';
}

bool awaiting_the_rest(pid_t pid) {
  const long now = blocked_in(pid);
#ifdef SYS_poll
  if (now == SYS_poll) return true;
#endif
#ifdef SYS_select
  if (now == SYS_select) return true;
#endif
  return now == SYS_ppoll || now == SYS_pselect6;
}

}  // namespace pause_tests
