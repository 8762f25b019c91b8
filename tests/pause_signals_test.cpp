// The wait for a key under signals, as a shell, a terminal window and other
// programs send them: the ones that end the program, the ones it leaves
// alone, stops and continues in the foreground and the background, settings
// changed while it is stopped, and the terminal hung up. However the program
// ends, stops or goes on, the terminal is left as it was found.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <sys/wait.h>
#include <termios.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pause_common.h"
#include "pty_shell.h"
#include "strace_helpers.h"

namespace pause_tests {

namespace {

using namespace std::chrono_literals;

// Whether sig is pending for the process, by /proc.
bool pending_in(pid_t pid, int sig) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  unsigned long long pending = 0;
  while (std::getline(file, line)) {
    if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0)
      pending |= std::stoull(line.substr(7), nullptr, 16);
  }
  return (pending >> (sig - 1) & 1U) != 0;
}

// A member of the process group other than its leader, or -1.
pid_t other_member(pid_t group) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid != group && getpgid(pid) == group) return pid;
  }
  return -1;
}

}  // namespace

// ---- Every signal that ends the program --------------------------------

struct signal_case {
  std::string name;
  int sig;
  // The signal waits for the key, so that it acts with the terminal put back.
  bool after_key = false;
};

class EndingSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(EndingSignal, EndsTheProgramByThatSignalWithTheTerminalAsFound) {
  const signal_case& t = GetParam();
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  ASSERT_TRUE(s.signal(t.sig));
  if (t.after_key) {
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(s.unchanged()) << "ended before the key";
    ASSERT_TRUE(s.type("q"));
  }
  EXPECT_EQ(s.status(), 128 + t.sig) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// Classic ones, the hang-up a shell passes on, real-time ones, ones that are
// normally synchronous but sent by kill here, and the C library's own.
INSTANTIATE_TEST_SUITE_P(
    Signals, EndingSignal,
    ::testing::Values(signal_case{"Term", SIGTERM}, signal_case{"Int", SIGINT},
                      signal_case{"Quit", SIGQUIT}, signal_case{"Usr1", SIGUSR1},
                      signal_case{"Alrm", SIGALRM}, signal_case{"Pwr", SIGPWR},
                      signal_case{"Io", SIGIO}, signal_case{"Hup", SIGHUP},
                      signal_case{"RtMin", SIGRTMIN}, signal_case{"RtMax", SIGRTMAX},
                      signal_case{"SegvByKill", SIGSEGV}, signal_case{"SysByKill", SIGSYS},
                      signal_case{"Reserved32", first_reserved, true},
                      signal_case{"Reserved33", second_reserved, true}),
    by_name);

// Signals whose default is to be ignored, such as a resized window's, and a
// continue that follows no stop, leave the wait alone, the screen included.
class IgnoredSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(IgnoredSignal, LeavesTheWaitAlone) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  s.screen.clear();
  ASSERT_TRUE(s.signal(GetParam().sig));
  s.read_rest();
  EXPECT_TRUE(s.unchanged()) << "the signal ended the wait";
  EXPECT_EQ(s.screen, "") << "the signal changed the screen";
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

INSTANTIATE_TEST_SUITE_P(Signals, IgnoredSignal,
                         ::testing::Values(signal_case{"Winch", SIGWINCH},
                                           signal_case{"Chld", SIGCHLD}, signal_case{"Urg", SIGURG},
                                           signal_case{"Cont", SIGCONT}),
                         by_name);

// ---- Stops, as a shell and a terminal window meet them -----------------

// A terminal that is not the program's controlling terminal has no
// foreground group to wait for: the wait takes it as it is.
TEST(OtherTerminal, OneKeyEndsTheWait) {
  launch how;
  how.use = terminal_use::other_terminal;
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

struct stop_case {
  std::string name;
  int sig;
  int times;
  // With no job control the kernel discards the stop: the program goes on.
  terminal_use use = terminal_use::job;
};

namespace {

const std::vector<stop_case> stops = {
    {"Sigstop", SIGSTOP, 1},
    {"Sigtstp", SIGTSTP, 1},
    {"SigtstpTwice", SIGTSTP, 2},
    {"SigttinTwice", SIGTTIN, 2},
    {"SigttouTwice", SIGTTOU, 2},
    {"SigtstpDiscarded", SIGTSTP, 2, terminal_use::no_job_control},
    {"SigttinDiscarded", SIGTTIN, 2, terminal_use::no_job_control},
    {"SigttouDiscarded", SIGTTOU, 2, terminal_use::no_job_control},
};

// A stop that the kernel discards puts nothing right: the wait goes on in
// raw mode, with neither the shell told nor the hint shown again.
void stop_discarded(pty_shell& s, int sig) {
  s.screen.clear();
  ASSERT_TRUE(s.signal(sig));
  s.read_rest();
  EXPECT_TRUE(s.unchanged()) << "the program stopped or ended";
  EXPECT_TRUE(raw_mode(s.settings())) << "the wait went on in line mode";
  EXPECT_EQ(s.screen, "");
}

std::vector<stop_case> stops_under_job_control() {
  std::vector<stop_case> kept;
  for (const stop_case& c : stops)
    if (c.use == terminal_use::job) kept.push_back(c);
  return kept;
}

}  // namespace

class Stop : public ::testing::TestWithParam<stop_case> {};

// A stop the program can catch puts the terminal back before it; SIGSTOP
// leaves that to the shell. Each time, `fg` brings the wait back, and at the
// end one key ends it with the terminal as found.
TEST_P(Stop, FgWaitsAgainAndTheTerminalIsAsFound) {
  const stop_case& t = GetParam();
  launch how;
  how.use = t.use;
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  for (int i = 1; i <= t.times; ++i) {
    SCOPED_TRACE("stop " + std::to_string(i));
    if (t.use == terminal_use::no_job_control) {
      ASSERT_NO_FATAL_FAILURE(stop_discarded(s, t.sig));
      continue;
    }
    report r;
    ASSERT_TRUE(s.stop(t.sig, r)) << r.status;
    if (t.sig != SIGSTOP) {
      EXPECT_TRUE(same_settings(s.before, r.found)) << "the terminal was left raw at the stop";
    }
    ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
  }
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  EXPECT_EQ(s.input_left(), 0);
}

INSTANTIATE_TEST_SUITE_P(Stops, Stop, ::testing::ValuesIn(stops), by_name);

class StopAndStty : public ::testing::TestWithParam<stop_case> {};

// Settings changed at the shell while the program is stopped, as `stty erase
// ^H` changes them, are the ones the program puts back at the end, and at
// the next stop.
TEST_P(StopAndStty, KeepsTheSettingsMadeWhileStopped) {
  const stop_case& t = GetParam();
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  termios expected = s.before;
  for (int i = 1; i <= t.times; ++i) {
    SCOPED_TRACE("stop " + std::to_string(i));
    report r;
    ASSERT_TRUE(s.stop(t.sig, r)) << r.status;
    if (t.sig != SIGSTOP) {
      EXPECT_TRUE(same_settings(expected, r.found)) << "the settings put back at the stop";
    }
    expected.c_cc[VERASE] = '\b';
    s.set_settings(expected);
    ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
  }
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_EQ(s.settings().c_cc[VERASE], '\b');
  EXPECT_TRUE(same_settings(expected, s.settings()));
}

INSTANTIATE_TEST_SUITE_P(Stops, StopAndStty, ::testing::ValuesIn(stops_under_job_control()),
                         by_name);

// Keys typed while the program was stopped, and so with `fg` itself, are
// dropped as the wait takes the terminal again, before the hint: the wait
// goes on until a key typed after it.
TEST(JobControl, KeysTypedWhileStoppedAreDropped) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  ASSERT_TRUE(s.stop(SIGTSTP, r)) << r.status;
  ASSERT_TRUE(s.type("x"));
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
  s.read_rest();
  EXPECT_TRUE(s.unchanged()) << "a key typed before the hint ended the wait";
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// A change of the settings that another program makes while the wait keeps
// the foreground (stty from another terminal) is not taken for the settings
// to put back, and brings no second hint: after the key the settings are
// those found at the start. The wait looks at the terminal once a second.
TEST(JobControl, SettingsChangedFromElsewhereAreNotAdopted) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  s.screen.clear();
  termios changed = s.settings();
  changed.c_lflag |= ECHO;
  s.set_settings(changed);
  s.read_screen(1500ms);
  EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the hint again: " << s.screen;
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings())) << "the terminal was left raw";
}

// Continued in the background, the wait leaves the terminal, now the
// shell's, alone and shows no hint. `kill %1` then sends the group SIGTERM,
// and SIGCONT since it is stopped.
TEST(JobControl, InTheBackgroundSigtermStillEndsIt) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  ASSERT_TRUE(s.stop(SIGTSTP, r)) << r.status;
  // Its read of the key stops it by SIGTTIN; that stop may overtake the
  // report of the continue.
  s.screen.clear();
  ASSERT_TRUE(s.bg());
  while (s.next_report(r) && WIFCONTINUED(r.status)) {
  }
  ASSERT_TRUE(stopped_by(r, SIGTTIN)) << r.status;
  EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the hint was shown in the background";
  ASSERT_TRUE(s.signal_group(SIGTERM));
  ASSERT_TRUE(s.signal_group(SIGCONT));
  EXPECT_EQ(s.status(), 128 + SIGTERM) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// ---- The terminal goes away --------------------------------------------

// What comes before the hang-up.
enum class before_hangup {
  nothing,
  stop,          // SIGSTOP: stopped when the terminal goes
  continue_,     // a stray SIGCONT, which cuts the wait's sleep short
  stop_then_fg,  // SIGTSTP, then fg: the wait's sleep cut short, and taken up again
};

struct hangup_case {
  std::string name;
  bool ignore_hangup;
  before_hangup before;
  std::vector<int> statuses;
};

class HangUp : public ::testing::TestWithParam<hangup_case> {};

// Closing the terminal hangs it up, and the shell passes SIGHUP on to the
// program, with SIGCONT should it be stopped. The program ends at once: by
// SIGHUP, or because the read of the key fails, which may come first while
// it waits. With SIGHUP ignored, as under nohup, only the failed read ends
// it. A stopped program handles SIGHUP before it reads again. A signal that
// cut the wait's sleep short earlier leaves nothing behind that would make
// the failed read look like one to try again.
TEST_P(HangUp, EndsTheProgram) {
  const hangup_case& t = GetParam();
  launch how;
  how.ignore_hangup = t.ignore_hangup;
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  switch (t.before) {
    case before_hangup::nothing:
      break;
    case before_hangup::stop:
      ASSERT_TRUE(s.stop(SIGSTOP, r)) << r.status;
      break;
    case before_hangup::continue_:
      ASSERT_TRUE(s.signal(SIGCONT));
      ASSERT_TRUE(s.within_seconds([&] { return sleeping(s.pid()); })) << "not waiting again";
      break;
    case before_hangup::stop_then_fg:
      ASSERT_TRUE(s.stop(SIGTSTP, r)) << r.status;
      ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
      break;
  }
  s.hang_up();
  EXPECT_THAT(t.statuses, ::testing::Contains(s.status()));
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, HangUp,
    ::testing::Values(hangup_case{"WhileWaiting", false, before_hangup::nothing, {0, 128 + SIGHUP}},
                      hangup_case{"WhileStopped", false, before_hangup::stop, {128 + SIGHUP}},
                      hangup_case{"IgnoredWhileWaiting", true, before_hangup::nothing, {0}},
                      hangup_case{"IgnoredWhileStopped", true, before_hangup::stop, {0}},
                      hangup_case{"IgnoredAfterAContinue", true, before_hangup::continue_, {0}},
                      hangup_case{
                          "IgnoredAfterAStopAndFg", true, before_hangup::stop_then_fg, {0}}),
    by_name);

// ---- Signals the parent blocked ------------------------------------------

class BlockedAtStart : public ::testing::TestWithParam<signal_case> {};

// A signal that the parent left blocked, and pending, is never delivered:
// not while the wait lets its own signals through, nor when it ends. It is
// still pending while the program waits, and the program ends by the key.
TEST_P(BlockedAtStart, StaysBlockedAndPending) {
  const int sig = GetParam().sig;
  launch how;
  how.blocked_and_pending = {sig};
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  EXPECT_TRUE(pending_in(s.pid(), sig)) << "no longer pending during the wait";
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// Ending signals, the C library's reserved numbers, stops, and SIGTTOU,
// which the wait lets through for the moment it changes the terminal, since
// the kernel refuses a change from the background only to a program that
// takes SIGTTOU.
INSTANTIATE_TEST_SUITE_P(
    Signals, BlockedAtStart,
    ::testing::Values(signal_case{"Int", SIGINT}, signal_case{"Alrm", SIGALRM},
                      signal_case{"Term", SIGTERM}, signal_case{"RtMin", SIGRTMIN},
                      signal_case{"Reserved32", first_reserved},
                      signal_case{"Reserved33", second_reserved}, signal_case{"Tstp", SIGTSTP},
                      signal_case{"Ttou", SIGTTOU}, signal_case{"Cont", SIGCONT}),
    by_name);

// ---- No key can come -----------------------------------------------------

struct orphan_case {
  std::string name;
  bool ignore_ttin;
};

class Orphaned : public ::testing::TestWithParam<orphan_case> {};

// Run by `sh -c` as the shell's job, the program is left alone in the
// background when that sh is killed and the shell takes the terminal back:
// its process group is orphaned, no shell can bring it back and no key can
// reach it. The wait ends as at a hang-up, within about a second, with
// status 0, and writes nothing more to the terminal or changes its settings,
// which are the shell's again. The kernel tells by failing the program's
// read from the background; with SIGTTIN ignored every such read fails, and
// the program looks at the group itself.
TEST_P(Orphaned, TheWaitEndsQuietly) {
  launch how;
  how.shell_stays = true;
  how.ignore_ttin = GetParam().ignore_ttin;
  how.tracer = {"/bin/sh", "-c", "\"$0\"; echo after"};
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  const pid_t program = other_member(s.pid());
  ASSERT_GT(program, 0) << "the program is not in the sh's group";
  s.read_rest();
  s.screen.clear();
  kill(s.pid(), SIGKILL);
  report r;
  ASSERT_TRUE(s.next_report(r) && WIFSIGNALED(r.status)) << r.status;
  const auto orphaned = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_TRUE(s.within_seconds([&] { return waitpid(program, &status, WNOHANG) == program; }))
      << "still waiting, in state " << state_of(program);
  const auto took = std::chrono::steady_clock::now() - orphaned;
  EXPECT_LT(took, 2500ms) << "took "
                          << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                          << " ms";
  EXPECT_EQ(exit_code(status), 0);
  s.read_rest();
  EXPECT_EQ(s.screen, "") << "wrote to the shell's terminal";
  EXPECT_TRUE(same_settings(s.before, s.settings())) << "changed the shell's settings";
}

INSTANTIATE_TEST_SUITE_P(Stops, Orphaned,
                         ::testing::Values(orphan_case{"SigttinCaught", false},
                                           orphan_case{"SigttinIgnored", true}),
                         by_name);

}  // namespace pause_tests
