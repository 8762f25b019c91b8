// The wait for a key under seeded random sequences of what a shell and a
// person do to it: stops of each kind, `fg` and `bg`, bare continues, a
// resized window, keys typed while it is stopped. Whatever the order, after
// each step the program waits quietly for a key in the foreground, in raw
// mode; it shows no hint from the background; and at the end one key ends it
// with the terminal as found and nothing left typed.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <string>

#include "pause_common.h"
#include "pty_shell.h"

namespace pause_tests {

namespace {

// One step: a signal from outside, and for a stop what follows it before
// `fg`: a key typed, or a spell in the background.
struct step {
  const char* name;
  int sig;
  bool stops;
  bool typed = false;
  bool background = false;
};

const step steps[] = {
    {"SIGTSTP, fg", SIGTSTP, true},
    {"SIGTSTP, bg, fg", SIGTSTP, true, false, true},
    {"SIGSTOP, fg", SIGSTOP, true},
    {"SIGSTOP, bg, fg", SIGSTOP, true, false, true},
    {"SIGCONT", SIGCONT, false},
    {"SIGWINCH", SIGWINCH, false},
    {"SIGTSTP, a key, fg", SIGTSTP, true, true},
};

// Stopped by sig, as the shell reports it; a stop it could catch puts the
// terminal back first.
void stopped(pty_shell& s, int sig) {
  report r;
  ASSERT_TRUE(s.stop(sig, r)) << r.status;
  if (sig != SIGSTOP) {
    EXPECT_TRUE(same_settings(s.before, r.found)) << "left raw at the stop";
  }
}

// Continued in the background, the program is refused the terminal and
// stops by SIGTTOU, having written nothing and changed nothing.
void in_the_background(pty_shell& s) {
  s.read_rest();
  s.screen.clear();
  ASSERT_TRUE(s.bg());
  report r;
  while (s.next_report(r) && WIFCONTINUED(r.status)) {
  }
  ASSERT_TRUE(stopped_by(r, SIGTTOU)) << r.status;
  EXPECT_TRUE(same_settings(s.before, r.found)) << "changed from the background";
  s.read_rest();
  EXPECT_EQ(s.screen, "") << "wrote from the background";
}

void take(pty_shell& s, const step& st) {
  if (!st.stops) {
    ASSERT_TRUE(s.signal(st.sig));
    return;
  }
  ASSERT_NO_FATAL_FAILURE(stopped(s, st.sig));
  if (st.typed) {
    s.read_rest();
    s.screen.clear();
    ASSERT_TRUE(s.type("x"));
    ASSERT_TRUE(s.wait_for_text("x")) << "not echoed: " << s.screen;
  }
  if (st.background) {
    ASSERT_NO_FATAL_FAILURE(in_the_background(s));
  }
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
}

}  // namespace

class RandomSteps : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomSteps, LeaveTheWaitWaitingAndTheTerminalAsFound) {
  std::mt19937 random(GetParam());
  std::uniform_int_distribution<std::size_t> pick(0, std::size(steps) - 1);
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  std::string taken;
  constexpr int count = 8;
  for (int i = 0; i < count; ++i) {
    const step& st = steps[pick(random)];
    taken += std::string(taken.empty() ? "" : "; ") + st.name;
    SCOPED_TRACE("steps: " + taken);
    ASSERT_NO_FATAL_FAILURE(take(s, st));
    ASSERT_TRUE(waits_quietly(s));
    EXPECT_TRUE(raw_mode(s.settings())) << "the wait is in line mode";
    EXPECT_TRUE(s.unchanged()) << "the program stopped or ended by itself";
  }
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  EXPECT_EQ(s.input_left(), 0) << "typed input was left";
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomSteps, ::testing::Values(1U, 2U, 3U, 4U, 5U, 6U));

}  // namespace pause_tests
