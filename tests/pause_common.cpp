#include "pause_common.h"

#include <sys/wait.h>

#include <cstdlib>

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
