#include "pause_common.h"

#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "strace_helpers.h"

namespace pause_tests {

const char* const exe = std::getenv("AVOIDREC_EXE") ? std::getenv("AVOIDREC_EXE") : AVOIDREC_EXE;

::testing::AssertionResult start(pty_shell& s, const launch& how) {
  return s.start(exe, how);
}

::testing::AssertionResult up_to_the_wait(pty_shell& s, const std::string& typed) {
  if (!s.wait_for_text(prompt)) return ::testing::AssertionFailure() << "no prompt: " << s.screen;
  if (auto typing = s.type(typed); !typing) return typing;
  if (!s.wait_for_text(hint)) return ::testing::AssertionFailure() << "no hint: " << s.screen;
  if (!s.wait_for_raw_mode()) return ::testing::AssertionFailure() << "no raw mode: " << s.screen;
  return ::testing::AssertionSuccess();
}

namespace {

// A field of /proc/<pid>/status, as a number in `base`; 0 if it is missing.
unsigned long long status_field(pid_t pid, const std::string& name, int base) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(name + ":", 0) == 0)
      return std::stoull(line.substr(name.size() + 1), nullptr, base);
  }
  return 0;
}

constexpr int hexadecimal = 16;
constexpr int decimal = 10;

// Signals pending that the process does not block now.
unsigned long long deliverable(pid_t pid) {
  const unsigned long long pending =
      status_field(pid, "SigPnd", hexadecimal) | status_field(pid, "ShdPnd", hexadecimal);
  return pending & ~status_field(pid, "SigBlk", hexadecimal);
}

bool quiet(pty_shell& s, pid_t pid) {
  return sleeping(pid) && blocked_in(pid) == SYS_pselect6 && deliverable(pid) == 0 &&
         s.queued() == 0;
}

::testing::AssertionResult not_quiet(pty_shell& s, pid_t pid) {
  return ::testing::AssertionFailure()
         << "the program does not wait quietly: state " << state_of(pid) << ", in call "
         << blocked_in(pid) << ", signals deliverable " << std::hex << deliverable(pid) << std::dec
         << ", bytes queued " << s.queued() << ", screen: " << s.screen;
}

}  // namespace

bool pending_in(pid_t pid, int sig) {
  const unsigned long long pending =
      status_field(pid, "SigPnd", hexadecimal) | status_field(pid, "ShdPnd", hexadecimal);
  return (pending >> (sig - 1) & 1U) != 0;
}

bool blocked_by(pid_t pid, int sig) {
  return (status_field(pid, "SigBlk", hexadecimal) >> (sig - 1) & 1U) != 0;
}

::testing::AssertionResult waits_quietly(pty_shell& s, pid_t program) {
  const pid_t pid = program > 0 ? program : s.pid();
  if (s.within_seconds([&] { return quiet(s, pid); })) return ::testing::AssertionSuccess();
  return not_quiet(s, pid);
}

// A sleep begun counts as a voluntary switch: once the count has grown and
// the program sleeps again, it has woken and gone back to sleep. With
// nothing sent and nothing typed, what woke it was the end of its second.
::testing::AssertionResult waits_quietly_after_a_look(pty_shell& s, pid_t program) {
  const pid_t pid = program > 0 ? program : s.pid();
  if (auto waiting = waits_quietly(s, pid); !waiting) return waiting;
  const auto before = status_field(pid, "voluntary_ctxt_switches", decimal);
  const auto woke = [&] {
    return status_field(pid, "voluntary_ctxt_switches", decimal) > before && quiet(s, pid);
  };
  if (s.within_seconds(woke)) return ::testing::AssertionSuccess();
  return not_quiet(s, pid) << " (no look within five seconds)";
}

void continue_in_the_foreground(pty_shell& s) {
  s.screen.clear();
  ASSERT_TRUE(s.fg());
  report r;
  ASSERT_TRUE(s.next_report(r));
  EXPECT_TRUE(WIFCONTINUED(r.status)) << r.status;
  ASSERT_TRUE(s.wait_for_raw_mode()) << "the wait is in line mode";
  EXPECT_TRUE(s.wait_for_text(hint)) << "the hint is shown again: " << s.screen;
}

}  // namespace pause_tests
