// The wait for a key stopped or ended at each of its system calls in turn,
// under strace (strace_helpers.h): stopped by SIGSTOP or SIGTSTP and taken on
// by `fg`, by `bg` and `kill %1`, or by `bg` and `fg`; ended by SIGTERM or by
// a number the C library keeps. Each leaves the terminal as found and loses
// nothing typed. A program of its own, as it takes half a minute.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "pause_common.h"
#include "pty_shell.h"
#include "strace_helpers.h"

namespace pause_tests {

// How a shell goes on with a stopped job.
enum class go_on { fg, bg_then_kill, bg_then_fg };

namespace {

using namespace std::chrono_literals;

// One system call of the program's run, as strace names and counts it.
struct call {
  std::string name;
  int nth;           // the how-manieth call of that name in the run, as `when` counts
  std::string line;  // as strace logged it
  bool after_key;    // made only once the key has been read
};

// Whether a logged call is a sleep that ended with input ready: the key has
// come, and is read next. One that timed out, or that a signal cut short,
// says nothing of the key.
bool found_input(const std::string& line) {
  if (line.rfind("pselect6(", 0) != 0) return false;
  const std::size_t result = line.rfind(") = ");
  return result != std::string::npos && std::atoi(line.c_str() + result + 4) > 0;
}

// Every call the program makes from the result's line, the wait's start, to
// its end, in a run that a key ends, but the end itself: a signal that comes
// as the program exits cannot act. strace counts calls by name, each name apart, so a call is
// reached by its name and its number among those.
[[nodiscard]] ::testing::AssertionResult calls_of_the_wait(std::vector<call>& found) {
  std::vector<std::string> lines;
  if (auto logged = logged_calls("all", detail::brief, lines); !logged) return logged;
  std::map<std::string, int> seen;
  bool waiting = false;
  bool key_read = false;
  for (const std::string& line : lines) {
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos || paren == 0) continue;
    const std::string name = line.substr(0, paren);
    const int nth = ++seen[name];
    if (!waiting) {
      waiting = line.find("0 2 0 0 0 -1 ") != std::string::npos;
      continue;
    }
    if (name == "exit_group") break;
    found.push_back({name, nth, line, key_read});
    key_read = key_read || found_input(line);
  }
  return ::testing::AssertionSuccess();
}

// The log of one injected run, removed with it.
class run_log {
 public:
  run_log() {
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
  }
  run_log(const run_log&) = delete;
  run_log& operator=(const run_log&) = delete;
  ~run_log() { unlink(path); }

  // Where the injected signal landed, from the log so far, which strace
  // writes as the calls are made: whether the key had come (a sleep had
  // ended with input ready), and the call the signal followed. False if
  // the signal is not in the log yet.
  bool landing(int sig, bool& after_key, std::string& call) const {
    const char* const name = sigabbrev_np(sig);
    const std::string delivered = "--- SIG" + std::string(name != nullptr ? name : "?") + " {";
    std::ifstream file(path);
    after_key = false;
    call.clear();
    for (std::string line; std::getline(file, line);) {
      if (line.rfind(delivered, 0) == 0 && line.find("si_code=SI_KERNEL") != std::string::npos)
        return true;
      if (line.rfind("---", 0) == 0) continue;
      after_key = after_key || found_input(line);
      call = line;
    }
    return false;
  }

  char path[32] = "/tmp/avoidrec-sweep-XXXXXX";
};

// Starts the program with sig injected at the call, and leads it there: the
// word is typed, and the key too if the call comes after it. Its own calls
// and the signals it gets are logged, to tell where the signal landed: an
// idle second of this run, which the logged run did not have, or the other
// way round, shifts the calls' numbers.
[[nodiscard]] ::testing::AssertionResult run_to(pty_shell& s, const call& c, int sig,
                                                const run_log& log) {
  const std::string inject =
      "inject=" + c.name + ":signal=" + std::to_string(sig) + ":when=" + std::to_string(c.nth);
  const launch how =
      traced(c.name + ",pselect6", {"-o", log.path, "-e", "signal=all", "-e", inject});
  if (auto started = start(s, how); !started) return started;
  if (!s.wait_for_text(prompt)) return ::testing::AssertionFailure() << "no prompt: " << s.screen;
  s.note_tracer();
  if (auto typing = s.type("00101\n"); !typing) return typing;
  if (!c.after_key) return ::testing::AssertionSuccess();
  if (!s.wait_for_raw_mode()) return ::testing::AssertionFailure() << "no raw mode: " << s.screen;
  return s.type("q");
}

// The shell's next report on a job it has continued, past the report of the
// continue itself, which a stop may overtake.
bool next_but_continues(pty_shell& s, report& r) {
  while (s.next_report(r)) {
    if (!WIFCONTINUED(r.status)) return true;
  }
  return false;
}

// In the foreground again, a wait whose key has not come yet takes the
// terminal and shows the hint, and one key ends it; one whose key has come
// ends by itself, without a hint.
void foreground(pty_shell& s, const call& c) {
  // What the program showed before it stopped may still be on its way.
  s.read_rest(20ms);
  s.screen.clear();
  ASSERT_TRUE(s.fg());
  if (!c.after_key) {
    ASSERT_TRUE(s.wait_for_raw_mode()) << "the wait is in line mode";
    EXPECT_TRUE(s.wait_for_text(hint)) << "no hint after fg: " << s.screen;
    ASSERT_TRUE(s.type("q"));
  }
  EXPECT_EQ(s.status(), 0) << s.screen;
  if (c.after_key) {
    EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the wait came back: " << s.screen;
  }
}

// In the background the terminal is the shell's: the program leaves it
// alone, flushes nothing typed at the shell, and stops by SIGTTOU as the
// kernel refuses its change of the terminal. Once it has read the key it
// finds the shell's own settings back and ends by itself, unless the stop
// came between its look at the terminal and its change: then the kernel
// refuses the change too. Then `kill %1` ends it, or `fg` brings the wait
// back, or ends it where the key has come.
void background(pty_shell& s, const call& c, go_on then) {
  if (then == go_on::bg_then_kill) {
    // Typed at the shell, and in the terminal's input by its echo, before
    // the job goes on. (Linux drops input not yet processed when anyone
    // attempts a flush, refused or not, so keys typed just then are lost.)
    ASSERT_TRUE(s.type("ls\n"));
    ASSERT_TRUE(s.wait_for_text("ls\r\n")) << s.screen;
  }
  ASSERT_TRUE(s.bg());
  report r;
  ASSERT_TRUE(next_but_continues(s, r));
  if (c.after_key && !stopped_by(r, SIGTTOU)) {
    EXPECT_EQ(exit_code(r.status), 0) << r.status;
    return;
  }
  ASSERT_TRUE(stopped_by(r, SIGTTOU)) << r.status;
  EXPECT_TRUE(same_settings(s.before, r.found)) << "the shell's terminal was changed";
  if (then == go_on::bg_then_fg) {
    ASSERT_NO_FATAL_FAILURE(foreground(s, c));
    return;
  }
  ASSERT_TRUE(s.signal_group(SIGTERM));
  ASSERT_TRUE(s.signal_group(SIGCONT));
  EXPECT_EQ(s.status(), 128 + SIGTERM) << s.screen;
}

void stop_at(const call& intended, int sig, go_on then) {
  run_log log;
  pty_shell s;
  ASSERT_TRUE(run_to(s, intended, sig, log));
  report r;
  ASSERT_TRUE(s.next_report(r) && stopped_by(r, sig)) << r.status;
  // Stopped, the program has made its last call before the stop: where the
  // signal landed decides what comes next.
  call c = intended;
  std::string landed;
  ASSERT_TRUE(log.landing(sig, c.after_key, landed)) << "the signal is not in the run's log";
  SCOPED_TRACE("landed after " + landed + (c.after_key ? ", after the key" : ", before the key"));
  if (sig != SIGSTOP) {
    EXPECT_TRUE(same_settings(s.before, r.found)) << "the terminal was left raw at the stop";
  }
  if (then == go_on::fg) {
    ASSERT_NO_FATAL_FAILURE(foreground(s, c));
  } else {
    ASSERT_NO_FATAL_FAILURE(background(s, c, then));
  }
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  const int typed_at_the_shell = then == go_on::bg_then_kill ? 3 : 0;
  EXPECT_EQ(s.input_left(), typed_at_the_shell) << "typed input was lost or left";
}

// A reserved number is held while the wait goes on, and acts once the
// terminal is back; before the wait holds it, it ends the program at once,
// with the terminal untouched, as anything else does.
void end_at(const call& c, int sig) {
  run_log log;
  pty_shell s;
  ASSERT_TRUE(run_to(s, c, sig, log));
  if (sig == second_reserved && !c.after_key && s.wait_for_raw_mode()) {
    ASSERT_TRUE(s.type("q"));
  }
  EXPECT_EQ(s.status(), 128 + sig) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  EXPECT_EQ(s.input_left(), 0) << "typed input was left";
}

// The calls are shared out among this many tests of each kind, which ctest
// runs in parallel.
constexpr int sweep_parts = 4;

}  // namespace

struct sweep_case {
  std::string name;
  int sig;
  go_on then = go_on::fg;  // after a stop
  int part = 0;
};

namespace {

// Each kind of sweep, once for each part of the calls.
std::vector<sweep_case> in_parts(const std::vector<sweep_case>& kinds) {
  std::vector<sweep_case> cases;
  for (const sweep_case& kind : kinds) {
    for (int part = 0; part < sweep_parts; ++part) {
      sweep_case c = kind;
      c.name.append("_").append(std::to_string(part + 1));
      c.part = part;
      cases.push_back(c);
    }
  }
  return cases;
}

}  // namespace

class SweepBase : public ::testing::TestWithParam<sweep_case> {
 protected:
  void SetUp() override {
    if (!have_strace()) GTEST_SKIP() << "strace is not installed";
    ASSERT_TRUE(calls_of_the_wait(calls));
    ASSERT_GT(calls.size(), 2U);
  }

  // Runs `run` at each call of this test's part, in a new run of the
  // program each time; the first that cannot go on stops the test.
  template <class Run>
  void each_call(Run run) {
    for (std::size_t i = static_cast<std::size_t>(GetParam().part); i < calls.size();
         i += sweep_parts) {
      SCOPED_TRACE("call " + std::to_string(i + 1) + " of " + std::to_string(calls.size()) + ", " +
                   calls[i].name + " #" + std::to_string(calls[i].nth) + ": " + calls[i].line);
      ASSERT_NO_FATAL_FAILURE(run(calls[i]));
    }
  }

  std::vector<call> calls;
};

class SweepStop : public SweepBase {};

// A stop at any call of the wait, and whatever the shell does next, leaves
// the terminal as found, loses nothing typed, and ends as it should.
TEST_P(SweepStop, AtEachCallOfTheWait) {
  each_call([&](const call& c) { stop_at(c, GetParam().sig, GetParam().then); });
}

INSTANTIATE_TEST_SUITE_P(Sweep, SweepStop,
                         ::testing::ValuesIn(in_parts({
                             {"SigstopFg", SIGSTOP, go_on::fg},
                             {"SigstopBgKill", SIGSTOP, go_on::bg_then_kill},
                             {"SigstopBgFg", SIGSTOP, go_on::bg_then_fg},
                             {"SigtstpFg", SIGTSTP, go_on::fg},
                             {"SigtstpBgKill", SIGTSTP, go_on::bg_then_kill},
                             {"SigtstpBgFg", SIGTSTP, go_on::bg_then_fg},
                         })),
                         by_name);

class SweepEnd : public SweepBase {};

// A signal that ends the program, at any call of the wait, leaves the
// terminal as found.
TEST_P(SweepEnd, AtEachCallOfTheWait) {
  each_call([&](const call& c) { end_at(c, GetParam().sig); });
}

INSTANTIATE_TEST_SUITE_P(Sweep, SweepEnd,
                         ::testing::ValuesIn(in_parts({
                             {"Term", SIGTERM},
                             {"Reserved33", second_reserved},
                         })),
                         by_name);

}  // namespace pause_tests
