// Runs the real executable on a pseudo-terminal, as a person at a console
// would, and checks the wait for a key press after the result: one key ends
// it, and the terminal is left as it was found however the program ends,
// stops or goes on.
//
// The program runs as the job of a small job-control shell (pty_shell.h), or
// in a session of its own as a terminal window starts it. Races are reached
// exactly by running the program under strace, which delivers a signal, an
// error or a delay at one given system call.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "pty_shell.h"

namespace {

using namespace std::chrono_literals;

const char* const exe = std::getenv("AVOIDREC_EXE") ? std::getenv("AVOIDREC_EXE") : AVOIDREC_EXE;

const std::string prompt = "enter word(ex. 00101) : ";
const std::string hint = "Press any key to continue . . . ";
const std::string worked_example = "0 2 0 0 0 -1 \r\n";
const std::string too_long(53, '0');

// The numbers glibc keeps for its threads: sigaction refuses them, but their
// default action ends a program all the same.
constexpr int first_reserved = 32;
constexpr int second_reserved = 33;

// Test names already say which case failed; the tables print just that.
const auto by_name = [](const auto& info) { return info.param.name; };

void start(pty_shell& s, const launch& how = {}) {
  ASSERT_TRUE(s.start(exe, how));
}

// Waits for the prompt, types the word and waits for the key wait to begin.
void up_to_the_wait(pty_shell& s, const std::string& typed) {
  ASSERT_TRUE(s.wait_for_text(prompt)) << s.screen;
  s.type(typed);
  ASSERT_TRUE(s.wait_for_text(hint)) << s.screen;
  ASSERT_TRUE(s.wait_for_raw_mode());
}

// ---- One key ends the wait ---------------------------------------------

struct pause_case {
  std::string name;
  std::string typed;  // everything typed after the prompt, at once
  std::string shown;  // what must be on the screen before the wait
  std::string key;    // the key that ends the wait
  int status;
};

void PrintTo(const pause_case& c, std::ostream* os) {
  *os << c.name;
}

class KeyWait : public ::testing::TestWithParam<pause_case> {};

TEST_P(KeyWait, OneKeyEndsItAndLeavesTheTerminalAsFound) {
  const pause_case& t = GetParam();
  pty_shell s;
  start(s);
  up_to_the_wait(s, t.typed);
  EXPECT_NE(s.screen.find(t.shown), std::string::npos) << s.screen;

  // The Enter after the word, and anything else typed ahead, must not end it.
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(s.unchanged()) << "ended before the key";

  s.type(t.key);
  EXPECT_EQ(s.status(), t.status) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  EXPECT_EQ(s.input_left(), 0) << "part of the key was left for the next program";
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyWait,
    ::testing::Values(
        pause_case{"Letter", "00101\n", worked_example, "q", 0},
        pause_case{"CtrlC", "00101\n", worked_example, "\x03", 0},
        pause_case{"CtrlBackslash", "0101\n", "0 2 -1 2 -1 \r\n", "\x1c", 0},
        pause_case{"CtrlZ", "0101\n", "0 2 -1 2 -1 \r\n", "\x1a", 0},
        // Flow control is off: these are keys, and nothing is held back.
        pause_case{"CtrlS", "00101\n", worked_example, "\x13", 0},
        pause_case{"CtrlQ", "00101\n", worked_example, "\x11", 0},
        pause_case{"CtrlV", "00101\n", worked_example, "\x16", 0},
        pause_case{"Enter", "01\n", "0 2 -1 \r\n", "\r", 0},
        pause_case{"ArrowUp", "00101\n", worked_example, "\x1b[A", 0},
        pause_case{"F5", "00101\n", worked_example, "\x1b[15~", 0},
        pause_case{"Escape", "00101\n", worked_example, "\x1b", 0},
        pause_case{"TwoByteLetter", "00101\n", worked_example, "\xc3\xa9", 0},
        // More bytes than one read takes: the rest is dropped with the wait.
        pause_case{"PastedText", "00101\n", worked_example, std::string(100, 'x'), 0},
        pause_case{"TypedAheadIsDiscarded", "00101\nxyz\n", worked_example, " ", 0},
        // End of input on an empty line ends the input before any word; the
        // message starts on a line of its own.
        pause_case{"AfterNoWordMessage", "\x04", prompt + "\r\navoidrec: no word entered", "q", 1},
        // A word or a token too long ended by end of input, not by Enter:
        // what follows starts on a line of its own, not after the echo.
        pause_case{"WordEndedByEndOfInput", "0101\x04\x04", "0101\r\n0 2 -1 2 -1 \r\n", "q", 0},
        pause_case{"TooLongEndedByEndOfInput", too_long + "\x04\x04",
                   too_long + "\r\navoidrec: word too long", "q", 1}),
    by_name);

// ---- The whole screen of a plain run -----------------------------------

struct screen_case {
  std::string name;
  std::string typed;  // everything typed after the prompt, at once
  std::string shown;  // the whole screen, from the prompt to the end
  int status;
};

void PrintTo(const screen_case& c, std::ostream* os) {
  *os << c.name;
}

class WholeScreen : public ::testing::TestWithParam<screen_case> {};

// Byte for byte, as the terminal shows it: the prompt, the echo of what is
// typed, the result or the message, the hint, nothing for the key, and the
// line break after it. No line is empty, and none runs on from another.
TEST_P(WholeScreen, IsExactlyWhatTheTerminalShows) {
  const screen_case& t = GetParam();
  pty_shell s;
  start(s);
  up_to_the_wait(s, t.typed);
  s.type("q");
  EXPECT_EQ(s.status(), t.status);
  s.read_rest();
  EXPECT_EQ(s.screen, t.shown);
}

// With no word from a pipe, nothing was echoed after the prompt, whatever
// the pipe held: the message starts on a line of its own. There is no wait.
TEST(WholeScreen, NoWordFromAPipe) {
  pty_shell s;
  launch how;
  how.piped_input = "\n";
  start(s, how);
  EXPECT_EQ(s.status(), 1);
  s.read_rest();
  EXPECT_EQ(s.screen, prompt + "\r\navoidrec: no word entered\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, WholeScreen,
    ::testing::Values(
        screen_case{"Word", "00101\n", prompt + "00101\r\n" + worked_example + hint + "\r\n", 0},
        // The Enter has begun a line of its own for the message already.
        screen_case{"EnterThenEndOfInput", "\n\x04",
                    prompt + "\r\navoidrec: no word entered\r\n" + hint + "\r\n", 1},
        // Spaces leave the cursor on the prompt's line: the message gets a
        // line of its own.
        screen_case{"SpacesThenEndOfInput", "  \x04\x04",
                    prompt + "  \r\navoidrec: no word entered\r\n" + hint + "\r\n", 1},
        screen_case{"WordTooLong", too_long + "\n",
                    prompt + too_long + "\r\navoidrec: word too long (at most 51 characters)\r\n" +
                        hint + "\r\n",
                    1}),
    by_name);

// ---- Terminals that other programs leave odd -------------------------

// A terminal left non-blocking by another program: the wait waits still.
// The word is typed ahead, since its read would find nothing yet.
TEST(OddTerminal, NonBlockingStillWaitsForAKey) {
  pty_shell s;
  s.make_nonblocking();
  s.type("00101\n");
  start(s);
  ASSERT_TRUE(s.wait_for_text(hint)) << s.screen;
  ASSERT_TRUE(s.wait_for_raw_mode());
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(s.unchanged()) << "ended without a key";
  s.type("q");
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// With SIGTTIN ignored, a read from the background fails instead of stopping
// the program: continued in the background, it waits for `fg`, not for
// nothing; and since it runs, `fg` need not continue it.
TEST(OddTerminal, SigttinIgnoredInTheBackgroundWaitsForFg) {
  pty_shell s;
  launch how;
  how.ignore_ttin = true;
  start(s, how);
  up_to_the_wait(s, "00101\n");
  report r;
  ASSERT_TRUE(s.stop(SIGSTOP, r)) << r.status;
  s.bg();
  ASSERT_TRUE(s.next_report(r) && WIFCONTINUED(r.status)) << r.status;
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(s.unchanged()) << "ended in the background without a key";
  s.screen.clear();
  s.fg_running();
  ASSERT_TRUE(s.wait_for_raw_mode());
  EXPECT_TRUE(s.wait_for_text(hint)) << s.screen;
  s.type("q");
  EXPECT_EQ(s.status(true), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// ---- Where standard error goes -----------------------------------------

enum class sink { dev_null, file, closed, dev_full, unread_pipe, closed_pipe, file_over_limit };

struct redirection_case {
  std::string name;
  sink to;
  bool stdin_read_only = false;
};

void PrintTo(const redirection_case& c, std::ostream* os) {
  *os << c.name;
}

// Standard error for the program, as `how` takes it, and a descriptor to
// read back what reached it, or -1.
int redirect(sink to, launch& how) {
  int ends[2] = {-1, -1};
  char name[] = "/tmp/avoidrec-stderr-XXXXXX";
  switch (to) {
    case sink::dev_null:
      how.stderr_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
      return -1;
    case sink::dev_full:
      how.stderr_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
      return -1;
    case sink::closed:
      how.stderr_fd = stderr_closed;
      return -1;
    case sink::file:
    case sink::file_over_limit:
      how.stderr_fd = mkostemp(name, O_CLOEXEC);
      unlink(name);
      if (to == sink::file_over_limit) how.file_size_limit = 0;
      return fcntl(how.stderr_fd, F_DUPFD_CLOEXEC, 0);
    case sink::unread_pipe:
    case sink::closed_pipe:
      if (pipe2(ends, O_CLOEXEC) != 0) return -1;
      how.stderr_fd = ends[1];
      if (to == sink::unread_pipe) return ends[0];
      close(ends[0]);
      return -1;
  }
  return -1;
}

// The number of bytes that reached a file or a pipe.
int bytes_in(int fd) {
  struct stat file {};
  if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode)) return static_cast<int>(file.st_size);
  int queued = -1;
  ioctl(fd, FIONREAD, &queued);
  return queued;
}

class StandardError : public ::testing::TestWithParam<redirection_case> {};

// Wherever standard error goes, the hint and the line break after the key
// are shown on the terminal the key is read from, and a key ends the wait.
// Nothing goes to standard error, so no closed pipe and no file size limit
// can end the program there.
TEST_P(StandardError, TheHintIsShownWhereTheKeyIsRead) {
  const redirection_case& t = GetParam();
  launch how;
  how.stdin_read_only = t.stdin_read_only;
  const int reached = redirect(t.to, how);
  pty_shell s;
  start(s, how);
  if (how.stderr_fd >= 0) close(how.stderr_fd);
  up_to_the_wait(s, "00101\n");
  s.type("q");
  EXPECT_EQ(s.status(), 0) << s.screen;
  s.read_rest();
  EXPECT_THAT(s.screen, ::testing::EndsWith(worked_example + hint + "\r\n"));
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  if (reached >= 0) {
    EXPECT_EQ(bytes_in(reached), 0) << "written to standard error";
    close(reached);
  }
}

INSTANTIATE_TEST_SUITE_P(Redirections, StandardError,
                         ::testing::Values(redirection_case{"DevNull", sink::dev_null},
                                           redirection_case{"File", sink::file},
                                           redirection_case{"Closed", sink::closed},
                                           redirection_case{"DevFull", sink::dev_full},
                                           redirection_case{"PipeNobodyReads", sink::unread_pipe},
                                           redirection_case{"ClosedPipe", sink::closed_pipe},
                                           redirection_case{"FileSizeLimit", sink::file_over_limit},
                                           // The terminal is opened again by name to be written.
                                           redirection_case{"StdinReadOnly", sink::dev_null, true}),
                         by_name);

// ---- Every signal that ends the program --------------------------------

struct signal_case {
  std::string name;
  int sig;
  // The signal waits for the key, so that it acts with the terminal put back.
  bool after_key = false;
};

void PrintTo(const signal_case& c, std::ostream* os) {
  *os << c.name;
}

class EndingSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(EndingSignal, EndsTheProgramByThatSignalWithTheTerminalAsFound) {
  const signal_case& t = GetParam();
  pty_shell s;
  start(s);
  up_to_the_wait(s, "00101\n");
  s.signal(t.sig);
  if (t.after_key) {
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(s.unchanged()) << "ended before the key";
    s.type("q");
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
  start(s);
  up_to_the_wait(s, "00101\n");
  s.screen.clear();
  s.signal(GetParam().sig);
  s.read_rest();
  EXPECT_TRUE(s.unchanged()) << "the signal ended the wait";
  EXPECT_EQ(s.screen, "") << "the signal changed the screen";
  s.type("q");
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
  start(s, how);
  up_to_the_wait(s, "00101\n");
  s.type("q");
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// Continued in the foreground after any stop, the wait takes the terminal
// again, though the shell put its own settings back, and shows the hint anew.
void continue_in_the_foreground(pty_shell& s) {
  s.screen.clear();
  s.fg();
  report r;
  ASSERT_TRUE(s.next_report(r));
  EXPECT_TRUE(WIFCONTINUED(r.status)) << r.status;
  ASSERT_TRUE(s.wait_for_raw_mode()) << "the wait is in line mode";
  EXPECT_TRUE(s.wait_for_text(hint)) << "the hint is shown again: " << s.screen;
}

struct stop_case {
  std::string name;
  int sig;
  int times;
  // With no job control the kernel discards the stop: the program goes on.
  terminal_use use = terminal_use::job;
};

void PrintTo(const stop_case& c, std::ostream* os) {
  *os << c.name;
}

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
  s.signal(sig);
  s.read_rest();
  EXPECT_TRUE(s.unchanged()) << "the program stopped or ended";
  EXPECT_TRUE(raw_mode(s.settings())) << "the wait went on in line mode";
  EXPECT_EQ(s.screen, "");
}

class Stop : public ::testing::TestWithParam<stop_case> {};

// A stop the program can catch puts the terminal back before it; SIGSTOP
// leaves that to the shell. Each time, `fg` brings the wait back, and at the
// end one key ends it with the terminal as found.
TEST_P(Stop, FgWaitsAgainAndTheTerminalIsAsFound) {
  const stop_case& t = GetParam();
  launch how;
  how.use = t.use;
  pty_shell s;
  start(s, how);
  up_to_the_wait(s, "00101\n");
  for (int i = 1; i <= t.times; ++i) {
    SCOPED_TRACE("stop " + std::to_string(i));
    if (t.use == terminal_use::no_job_control) {
      stop_discarded(s, t.sig);
      continue;
    }
    report r;
    ASSERT_TRUE(s.stop(t.sig, r)) << r.status;
    if (t.sig != SIGSTOP) {
      EXPECT_TRUE(same_settings(s.before, r.found)) << "the terminal was left raw at the stop";
    }
    continue_in_the_foreground(s);
  }
  s.type("q");
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
  start(s);
  up_to_the_wait(s, "00101\n");
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
    continue_in_the_foreground(s);
  }
  s.type("q");
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_EQ(s.settings().c_cc[VERASE], '\b');
  EXPECT_TRUE(same_settings(expected, s.settings()));
}

std::vector<stop_case> stops_under_job_control() {
  std::vector<stop_case> kept;
  for (const stop_case& c : stops)
    if (c.use == terminal_use::job) kept.push_back(c);
  return kept;
}

INSTANTIATE_TEST_SUITE_P(Stops, StopAndStty, ::testing::ValuesIn(stops_under_job_control()),
                         by_name);

// Continued in the background, the wait leaves the terminal, now the
// shell's, alone and shows no hint. `kill %1` then sends the group SIGTERM,
// and SIGCONT since it is stopped.
TEST(JobControl, InTheBackgroundSigtermStillEndsIt) {
  pty_shell s;
  start(s);
  up_to_the_wait(s, "00101\n");
  report r;
  ASSERT_TRUE(s.stop(SIGTSTP, r)) << r.status;
  // Its read of the key stops it by SIGTTIN; that stop may overtake the
  // report of the continue.
  s.screen.clear();
  s.bg();
  while (s.next_report(r) && WIFCONTINUED(r.status)) {
  }
  ASSERT_TRUE(stopped_by(r, SIGTTIN)) << r.status;
  EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the hint was shown in the background";
  s.signal_group(SIGTERM);
  s.signal_group(SIGCONT);
  EXPECT_EQ(s.status(), 128 + SIGTERM) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// ---- The terminal goes away --------------------------------------------

struct hangup_case {
  std::string name;
  bool ignore_hangup;
  bool stopped;  // by SIGSTOP when the terminal goes
  std::vector<int> statuses;
};

void PrintTo(const hangup_case& c, std::ostream* os) {
  *os << c.name;
}

class HangUp : public ::testing::TestWithParam<hangup_case> {};

// Closing the terminal hangs it up, and the shell passes SIGHUP on to the
// program, with SIGCONT should it be stopped. The program ends at once: by
// SIGHUP, or because the read of the key fails, which may come first while
// it waits. With SIGHUP ignored, as under nohup, only the failed read ends
// it. A stopped program handles SIGHUP before it reads again.
TEST_P(HangUp, EndsTheProgram) {
  const hangup_case& t = GetParam();
  launch how;
  how.ignore_hangup = t.ignore_hangup;
  pty_shell s;
  start(s, how);
  up_to_the_wait(s, "00101\n");
  if (t.stopped) {
    report r;
    ASSERT_TRUE(s.stop(SIGSTOP, r)) << r.status;
  }
  s.hang_up();
  EXPECT_THAT(t.statuses, ::testing::Contains(s.status()));
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, HangUp,
    ::testing::Values(hangup_case{"WhileWaiting", false, false, {0, 128 + SIGHUP}},
                      hangup_case{"WhileStopped", false, true, {128 + SIGHUP}},
                      hangup_case{"IgnoredWhileWaiting", true, false, {0}},
                      hangup_case{"IgnoredWhileStopped", true, true, {0}}),
    by_name);

// ---- Races, reached exactly under strace -------------------------------

bool have_strace() {
  return std::strlen(AVOIDREC_STRACE) > 0;
}

// The system calls that wait for the rest of a key, wherever they exist.
const std::string waits_for_the_rest = "?poll,ppoll,?select,pselect6";

// The strace command that runs the program as the shell's own job (its
// tracer detached in a group of its own), traces `calls` and does `action`
// to them: logs them, or injects at one.
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

// The program's calls of `calls`, as strace logs them, in a run that ends
// the wait with a key.
std::vector<std::string> logged_calls(const std::string& calls) {
  char log[] = "/tmp/avoidrec-strace-XXXXXX";
  const int fd = mkstemp(log);
  if (fd < 0) return {};
  close(fd);
  {
    pty_shell s;
    start(s, traced(calls, {"-o", log}));
    EXPECT_TRUE(s.wait_for_text(prompt));
    s.note_tracer();
    up_to_the_wait(s, "00101\n");
    s.type("q");
    EXPECT_EQ(s.status(), 0);
    s.reap_tracer();
  }
  std::vector<std::string> lines;
  std::ifstream file(log);
  std::string line;
  while (std::getline(file, line)) lines.push_back(line);
  unlink(log);
  return lines;
}

// Landmarks among the program's calls, numbered from 1 as strace's `when`
// counts them, ioctl and read calls apart: the ioctl call that enters raw
// mode, the read of the key, and the ioctl call that puts the settings back
// for good. A signal injected at a call arrives before the call is made, so
// one meant to come after a call is injected at the next.
struct landmarks {
  int raw = 0;
  int key_read = 0;
  int restore = 0;
};

landmarks find_landmarks() {
  landmarks found;
  int ioctls = 0;
  int reads = 0;
  for (const std::string& call : logged_calls("ioctl,read")) {
    if (call.rfind("read(", 0) == 0) {
      ++reads;
      if (found.raw > 0 && found.key_read == 0) found.key_read = reads;
      continue;
    }
    if (call.rfind("ioctl(", 0) != 0) continue;
    ++ioctls;
    // TCSETS sets the terminal; TCSETSF sets it and discards its input, as
    // the calls before the hint and at the end do.
    if (call.find("TCSETS") == std::string::npos) continue;
    if (found.raw == 0 && call.find("TCSETS,") != std::string::npos) found.raw = ioctls;
    found.restore = ioctls;
  }
  return found;
}

// The system call a process is in, from /proc, or -1 if it runs.
long blocked_in(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  return file >> number ? number : -1;
}

// A process's state, as /proc shows it after its name: 'S' sleeps in the
// kernel, 't' is held by its tracer; 0 if it has gone.
char state_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t name_end = stat.rfind(") ");
  return name_end != std::string::npos && name_end + 2 < stat.size() ? stat[name_end + 2] : '\0';
}

// Whether a process sleeps in the kernel, not stopped by its tracer.
bool sleeping(pid_t pid) {
  return state_of(pid) == 'S';
}

// Whether the program is in a call that waits for the rest of a key.
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

class Race : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_strace()) GTEST_SKIP() << "strace is not installed";
    at = find_landmarks();
    ASSERT_GT(at.raw, 0);
    ASSERT_GT(at.key_read, 0);
    ASSERT_GT(at.restore, at.raw);
  }

  // Runs the program with strace's `inject` (calls:action:when), up to the
  // point where the hint shows.
  void start_injecting(const std::string& inject) {
    s = std::make_unique<pty_shell>();
    start(*s, traced("ioctl,read," + waits_for_the_rest, {"-o", "/dev/null", "-e", inject}));
    ASSERT_TRUE(s->wait_for_text(prompt)) << s->screen;
    s->note_tracer();
    s->type("00101\n");
    ASSERT_TRUE(s->wait_for_text(hint)) << s->screen;
  }

  landmarks at;
  std::unique_ptr<pty_shell> s;
};

// A stop right after the settings are put back for good: continued, the
// program does not take the terminal again, and ends leaving it as found.
TEST_F(Race, StopAfterTheLastRestore) {
  start_injecting("inject=ioctl:signal=SIGTSTP:when=" + std::to_string(at.restore + 1));
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->type("q");
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTSTP)) << r.status;
  s->screen.clear();
  s->fg();
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_EQ(s->screen.find(hint), std::string::npos) << "the wait came back";
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A stop right after SIGTERM's handler has put the terminal back waits for
// that handler, which ends the program. The handler puts the settings back
// with the same calls as the end of the wait, so they are counted alike.
TEST_F(Race, StopInsideTheTermHandler) {
  start_injecting("inject=ioctl:signal=SIGTSTP:when=" + std::to_string(at.restore + 1));
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->signal(SIGTERM);
  EXPECT_EQ(s->status(true), 128 + SIGTERM) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// Entering raw mode is interrupted by a stop: the entry is tried again, the
// stop puts the terminal back, and the wait goes on after `fg`.
TEST_F(Race, StopInterruptsTheRawEntry) {
  start_injecting("inject=ioctl:error=EINTR:signal=SIGTSTP:when=" + std::to_string(at.raw));
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTSTP)) << r.status;
  continue_in_the_foreground(*s);
  s->type("q");
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A setting of the terminal that fails with EINTR, which POSIX allows, is
// made again: the wait still enters raw mode, and still puts the settings
// back at its end.
// With a SIGTTOU from elsewhere, which the program, in the foreground, does
// not take for the kernel's refusal to change the terminal from the
// background.
struct eintr_case {
  std::string name;
  int landmarks::*call;
  std::string with_signal{};
};

void PrintTo(const eintr_case& c, std::ostream* os) {
  *os << c.name;
}

class InterruptedSetting : public Race, public ::testing::WithParamInterface<eintr_case> {};

TEST_P(InterruptedSetting, IsMadeAgain) {
  const eintr_case& t = GetParam();
  start_injecting("inject=ioctl:error=EINTR" + t.with_signal +
                  ":when=" + std::to_string(at.*t.call));
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->type("q");
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

INSTANTIATE_TEST_SUITE_P(
    Race, InterruptedSetting,
    ::testing::Values(eintr_case{"RawEntry", &landmarks::raw},
                      eintr_case{"Restore", &landmarks::restore},
                      eintr_case{"RawEntryBySigttou", &landmarks::raw, ":signal=SIGTTOU"},
                      eintr_case{"RestoreBySigttou", &landmarks::restore, ":signal=SIGTTOU"}),
    by_name);

// Over a slow link the bytes of a key arrive apart: the rest of the key is
// taken with it, not left for the shell. The program's wait for the rest is
// held back a second as it starts, so that the rest surely comes within the
// program's 100 ms, however slow this machine is.
TEST_F(Race, KeySplitAcrossReads) {
  start_injecting("inject=" + waits_for_the_rest + ":delay_enter=1000000:when=1");
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->type("\x1b");
  ASSERT_TRUE(s->within_seconds([&] { return awaiting_the_rest(s->pid()); }))
      << "not waiting for the rest";
  s->type("[A");
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
  EXPECT_EQ(s->input_left(), 0) << "the rest of the key was left for the next program";
}

// A stop that comes as the key is read, here while strace holds the read's
// return, is taken once the key is: after `fg` the wait does not come back,
// and no hint asks for a key that is not awaited.
TEST_F(Race, StopAsTheKeyIsRead) {
  start_injecting("inject=read:delay_exit=500000:when=" + std::to_string(at.key_read));
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->type("q");
  ASSERT_TRUE(s->within_seconds([&] { return state_of(s->pid()) == 't'; })) << "not reading";
  report r;
  ASSERT_TRUE(s->stop(SIGTSTP, r)) << r.status;
  s->read_rest(20ms);
  s->screen.clear();
  s->fg();
  EXPECT_EQ(s->status(), 0) << s->screen;
  s->read_rest();
  EXPECT_EQ(s->screen.find(hint), std::string::npos) << "a hint after the key: " << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A signal that the program handles, here a continue, interrupts its wait
// for the rest of a key: the wait for the rest goes on, and the rest that
// comes after the signal is taken with the key, not left for the shell. The
// signal comes exactly as the wait for the rest begins; the rest is typed as
// soon as the program sleeps in that wait again, or has ended.
TEST_F(Race, SignalWhileAwaitingTheRestOfAKey) {
  start_injecting("inject=" + waits_for_the_rest + ":signal=SIGCONT:when=1");
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->screen.clear();
  s->type("\x1b");
  const auto escape = std::chrono::steady_clock::now();
  const auto deadline = escape + 5s;
  while (!(sleeping(s->pid()) && awaiting_the_rest(s->pid())) && s->unchanged()) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "neither waiting nor ended";
    std::this_thread::sleep_for(1ms);
  }
  s->type("[A");
  const auto rest = std::chrono::steady_clock::now() - escape;
  const auto rest_ms = std::chrono::duration_cast<std::chrono::milliseconds>(rest).count();
  EXPECT_EQ(s->status(), 0) << s->screen;
  s->read_rest();
  EXPECT_EQ(s->screen, "\r\n") << "the wait ended once, and showed nothing more";
  EXPECT_TRUE(same_settings(s->before, s->settings()));
  EXPECT_EQ(s->input_left(), 0) << "the rest of the key, typed " << rest_ms
                                << " ms after the ESC, was left for the next program";
}

// A key pressed as soon as the hint shows, before the terminal is in raw
// mode (the raw entry is held back here), is the key that ends the wait.
TEST_F(Race, KeyRightAfterTheHint) {
  start_injecting("inject=ioctl:delay_enter=300000:when=" + std::to_string(at.raw));
  s->type("q");
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A read of the key that a signal interrupts, as some systems let one do
// even with SA_RESTART, is read again: the wait goes on until a key.
TEST_F(Race, ReadOfTheKeyInterrupted) {
  start_injecting("inject=read:error=EINTR:when=" + std::to_string(at.key_read));
  ASSERT_TRUE(s->wait_for_raw_mode());
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(s->unchanged()) << "ended without a key";
  s->type("q");
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// ---- Every system call of the wait, in turn ----------------------------

// One system call of the program's run, as strace names and counts it.
struct call {
  std::string name;
  int nth;           // the how-manieth call of that name in the run, as `when` counts
  std::string line;  // as strace logged it
  bool after_key;    // made only once the key has been read
};

// Every call the program makes from the hint to its end, in a run that a
// key ends, but the end itself: a signal that comes as the program exits
// cannot act. strace counts calls by name, each name apart, so a call is
// reached by its name and its number among those.
std::vector<call> calls_of_the_wait() {
  std::vector<call> found;
  std::map<std::string, int> seen;
  bool hint_shown = false;
  bool key_read = false;
  for (const std::string& line : logged_calls("all")) {
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos || paren == 0) continue;
    const std::string name = line.substr(0, paren);
    const int nth = ++seen[name];
    hint_shown = hint_shown || line.find("Press any key") != std::string::npos;
    if (!hint_shown) continue;
    if (name == "exit_group") break;
    found.push_back({name, nth, line, key_read});
    // The wait for the key returns, and the key's read comes, only once
    // the key is typed.
    key_read = key_read || name == "read" || name == "pselect6";
  }
  return found;
}

// Starts the program with sig injected at the call, and leads it there: the
// word is typed, and the key too if the call comes after it.
void run_to(pty_shell& s, const call& c, int sig) {
  const std::string inject =
      "inject=" + c.name + ":signal=" + std::to_string(sig) + ":when=" + std::to_string(c.nth);
  start(s, traced(c.name, {"-o", "/dev/null", "-e", inject}));
  ASSERT_TRUE(s.wait_for_text(prompt)) << s.screen;
  s.note_tracer();
  s.type("00101\n");
  if (!c.after_key) return;
  ASSERT_TRUE(s.wait_for_raw_mode()) << s.screen;
  s.type("q");
}

// The shell's next report on a job it has continued, past the report of the
// continue itself, which a stop may overtake.
bool next_but_continues(pty_shell& s, report& r) {
  while (s.next_report(r)) {
    if (!WIFCONTINUED(r.status)) return true;
  }
  return false;
}

// How a shell goes on with a stopped job.
enum class go_on { fg, bg_then_kill, bg_then_fg };

// In the foreground again, a wait whose key has not come yet takes the
// terminal and shows the hint, and one key ends it; one whose key has come
// ends by itself, without a hint.
void foreground(pty_shell& s, const call& c) {
  // What the program showed before it stopped may still be on its way.
  s.read_rest(20ms);
  s.screen.clear();
  s.fg();
  if (!c.after_key) {
    ASSERT_TRUE(s.wait_for_raw_mode()) << "the wait is in line mode";
    EXPECT_TRUE(s.wait_for_text(hint)) << "no hint after fg: " << s.screen;
    s.type("q");
  }
  EXPECT_EQ(s.status(), 0) << s.screen;
  if (c.after_key) {
    EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the wait came back: " << s.screen;
  }
}

// In the background the terminal is the shell's: the program leaves it
// alone, flushes nothing typed at the shell, and stops as it comes to read
// the key, unless it has read it already, when it ends by itself. Then
// `kill %1` ends it, or `fg` brings the wait back.
void background(pty_shell& s, const call& c, go_on then) {
  if (then == go_on::bg_then_kill) {
    // Typed at the shell, and in the terminal's input by its echo, before
    // the job goes on. (Linux drops input not yet processed when anyone
    // attempts a flush, refused or not, so keys typed just then are lost.)
    s.type("ls\n");
    ASSERT_TRUE(s.wait_for_text("ls\r\n")) << s.screen;
  }
  s.bg();
  report r;
  ASSERT_TRUE(next_but_continues(s, r));
  if (c.after_key) {
    EXPECT_EQ(exit_code(r.status), 0) << r.status;
    return;
  }
  ASSERT_TRUE(stopped_by(r, SIGTTIN)) << r.status;
  EXPECT_TRUE(same_settings(s.before, r.found)) << "the shell's terminal was changed";
  if (then == go_on::bg_then_fg) {
    foreground(s, c);
    return;
  }
  s.signal_group(SIGTERM);
  s.signal_group(SIGCONT);
  EXPECT_EQ(s.status(), 128 + SIGTERM) << s.screen;
}

void stop_at(const call& c, int sig, go_on then) {
  pty_shell s;
  run_to(s, c, sig);
  report r;
  ASSERT_TRUE(s.next_report(r) && stopped_by(r, sig)) << r.status;
  if (sig != SIGSTOP) {
    EXPECT_TRUE(same_settings(s.before, r.found)) << "the terminal was left raw at the stop";
  }
  if (then == go_on::fg) {
    foreground(s, c);
  } else {
    background(s, c, then);
  }
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  const int typed_at_the_shell = then == go_on::bg_then_kill ? 3 : 0;
  EXPECT_EQ(s.input_left(), typed_at_the_shell) << "typed input was lost or left";
}

// A reserved number is held while the wait goes on, and acts once the
// terminal is back; anything else ends the program at once.
void end_at(const call& c, int sig) {
  pty_shell s;
  run_to(s, c, sig);
  if (sig == second_reserved && !c.after_key) {
    ASSERT_TRUE(s.wait_for_raw_mode()) << "no wait: " << s.screen;
    s.type("q");
  }
  EXPECT_EQ(s.status(), 128 + sig) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  EXPECT_EQ(s.input_left(), 0) << "typed input was left";
}

// The calls are shared out among this many tests of each kind, which ctest
// runs in parallel.
constexpr int sweep_parts = 4;

struct sweep_case {
  std::string name;
  int sig;
  go_on then = go_on::fg;  // after a stop
  int part = 0;
};

void PrintTo(const sweep_case& c, std::ostream* os) {
  *os << c.name;
}

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

class SweepBase : public ::testing::TestWithParam<sweep_case> {
 protected:
  void SetUp() override {
    if (!have_strace()) GTEST_SKIP() << "strace is not installed";
    calls = calls_of_the_wait();
    ASSERT_GT(calls.size(), 2U);
  }

  template <class Run>
  void each_call(Run run) {
    for (std::size_t i = static_cast<std::size_t>(GetParam().part); i < calls.size();
         i += sweep_parts) {
      SCOPED_TRACE("call " + std::to_string(i + 1) + " of " + std::to_string(calls.size()) + ", " +
                   calls[i].name + " #" + std::to_string(calls[i].nth) + ": " + calls[i].line);
      run(calls[i]);
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

}  // namespace
