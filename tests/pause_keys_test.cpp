// Runs the real executable on a pseudo-terminal, as a person at a console
// would, and checks the wait for a key press after the result: one key ends
// it, the screen is exactly what the terminal shows, terminals that other
// programs leave odd are still waited on, and the hint is shown where the key
// is read wherever standard error goes. The terminal is left as it was found.
//
// The program runs as the job of a small job-control shell (pty_shell.h), or
// in a session of its own as a terminal window starts it. Signals, stops and
// hang-ups are in pause_signals_test.cpp, the races reached under strace in
// pause_race_test.cpp.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "pause_common.h"
#include "pty_shell.h"

namespace pause_tests {

namespace {

using namespace std::chrono_literals;

const std::string too_long(53, '0');

}  // namespace

// ---- One key ends the wait ---------------------------------------------

struct pause_case {
  std::string name;
  std::string typed;  // everything typed after the prompt, at once
  std::string shown;  // what must be on the screen before the wait
  std::string key;    // the key that ends the wait
  int status;
};

class KeyWait : public ::testing::TestWithParam<pause_case> {};

TEST_P(KeyWait, OneKeyEndsItAndLeavesTheTerminalAsFound) {
  const pause_case& t = GetParam();
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, t.typed));
  EXPECT_NE(s.screen.find(t.shown), std::string::npos) << s.screen;

  // The Enter after the word, and anything else typed ahead, must not end it.
  ASSERT_TRUE(waits_quietly(s)) << "ended before the key";
  EXPECT_TRUE(s.unchanged()) << "ended before the key";

  ASSERT_TRUE(s.type(t.key));
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
        // After ESC whatever comes within the escape time is the key's: a
        // paste of many times the key's room is taken and dropped, not kept.
        pause_case{"PasteAfterEscape", "00101\n", worked_example, "\x1b" + std::string(200, 'x'),
                   0},
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

class WholeScreen : public ::testing::TestWithParam<screen_case> {};

// Byte for byte, as the terminal shows it: the prompt, the echo of what is
// typed, the result or the message, the hint, nothing for the key, and the
// line break after it. No line is empty, and none runs on from another.
TEST_P(WholeScreen, IsExactlyWhatTheTerminalShows) {
  const screen_case& t = GetParam();
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, t.typed));
  ASSERT_TRUE(s.type("q"));
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
  ASSERT_TRUE(start(s, how));
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
                    prompt + too_long + "\r\navoidrec: word too long (at most 51 bytes)\r\n" +
                        hint + "\r\n",
                    1}),
    by_name);

// ---- Terminals that other programs leave odd -------------------------

// A terminal left non-blocking by another program: the wait waits still.
// The word is typed ahead, since its read would find nothing yet.
TEST(OddTerminal, NonBlockingStillWaitsForAKey) {
  pty_shell s;
  s.make_nonblocking();
  ASSERT_TRUE(s.type("00101\n"));
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(s.wait_for_text(hint)) << s.screen;
  ASSERT_TRUE(s.wait_for_raw_mode());
  ASSERT_TRUE(waits_quietly_after_a_look(s)) << "ended without a key";
  EXPECT_TRUE(s.unchanged()) << "ended without a key";
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// Where the parent ignored or blocked SIGTTOU, the kernel's refusal of a
// change from the background stops no member of the job, so the program does
// not stop either: continued in the background, it waits for `fg`, asking
// the kernel again at each look, and leaves the shell's terminal alone; and
// since it runs, `fg` need not continue it.
struct ttou_case {
  std::string name;
  bool ignored;
  std::vector<int> blocked;
};

class SigttouAtStart : public ::testing::TestWithParam<ttou_case> {};

TEST_P(SigttouAtStart, InTheBackgroundTheWaitWaitsForFg) {
  const ttou_case& t = GetParam();
  pty_shell s;
  launch how;
  how.ignore_ttou = t.ignored;
  how.blocked_and_pending = t.blocked;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  ASSERT_TRUE(s.stop(SIGSTOP, r)) << r.status;
  s.read_rest();
  s.screen.clear();
  ASSERT_TRUE(s.bg());
  ASSERT_TRUE(s.next_report(r) && WIFCONTINUED(r.status)) << r.status;
  ASSERT_TRUE(waits_quietly_after_a_look(s));
  EXPECT_TRUE(s.unchanged()) << "stopped or ended in the background";
  EXPECT_TRUE(same_settings(s.before, s.settings())) << "the shell's settings were changed";
  EXPECT_EQ(s.screen, "") << "wrote from the background";
  ASSERT_TRUE(s.fg_running());
  ASSERT_TRUE(s.wait_for_raw_mode());
  EXPECT_TRUE(s.wait_for_text(hint)) << s.screen;
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(true), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

INSTANTIATE_TEST_SUITE_P(OddTerminal, SigttouAtStart,
                         ::testing::Values(ttou_case{"Ignored", true, {}},
                                           ttou_case{"Blocked", false, {SIGTTOU}}),
                         by_name);

// A terminal that keeps line mode locked (TIOCSLCKTRMIOS, as a system
// administrator may set it) refuses raw mode: the wait keeps the input
// processing it found, so Enter still ends a line and the wait, and shows the
// hint once, without taking the lock for a shell's settings again and again.
TEST(OddTerminal, LineModeLockedEndsOnEnter) {
  pty_shell s;
  termios locked{};
  locked.c_lflag = ICANON;
  if (const int error = s.lock_settings(locked); error != 0)
    GTEST_SKIP() << "cannot lock the terminal's settings: " << std::strerror(error);
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(s.wait_for_text(prompt)) << s.screen;
  ASSERT_TRUE(s.type("00101\n"));
  ASSERT_TRUE(s.wait_for_text(hint)) << s.screen;
  ASSERT_TRUE(waits_quietly_after_a_look(s));
  s.read_rest();
  const std::size_t first = s.screen.find(hint);
  EXPECT_EQ(s.screen.find(hint, first + 1), std::string::npos) << "the hint again: " << s.screen;
  ASSERT_TRUE(s.type("\r"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// ---- Where standard error goes -----------------------------------------

enum class sink { dev_null, file, closed, dev_full, unread_pipe, closed_pipe, file_over_limit };

struct redirection_case {
  std::string name;
  sink to;
  bool stdin_read_only = false;
};

namespace {

// A descriptor of the test's own, closed when the test ends, however it ends.
class descriptor {
 public:
  descriptor() = default;
  explicit descriptor(int fd) : fd_(fd) {}
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
  descriptor& operator=(descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~descriptor() { reset(); }

  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Standard error for the program, as `how` takes it, and a descriptor to
// read back what reached it, if any. The test's copy of what the program
// gets is `given`, to close once the program has its own.
struct redirected {
  descriptor given;
  descriptor reached;
};

void redirect(sink to, launch& how, redirected& r) {
  int ends[2] = {-1, -1};
  char name[] = "/tmp/avoidrec-stderr-XXXXXX";
  switch (to) {
    case sink::dev_null:
      how.stderr_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
      break;
    case sink::dev_full:
      how.stderr_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
      break;
    case sink::closed:
      how.stderr_fd = stderr_closed;
      return;
    case sink::file:
    case sink::file_over_limit:
      how.stderr_fd = mkostemp(name, O_CLOEXEC);
      unlink(name);
      if (to == sink::file_over_limit) how.file_size_limit = 0;
      r.reached = descriptor(fcntl(how.stderr_fd, F_DUPFD_CLOEXEC, 0));
      break;
    case sink::unread_pipe:
    case sink::closed_pipe:
      if (pipe2(ends, O_CLOEXEC) != 0) return;
      how.stderr_fd = ends[1];
      if (to == sink::unread_pipe)
        r.reached = descriptor(ends[0]);
      else
        close(ends[0]);
      break;
  }
  r.given = descriptor(how.stderr_fd);
}

// The number of bytes that reached a file or a pipe.
int bytes_in(int fd) {
  struct stat file {};
  if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode)) return static_cast<int>(file.st_size);
  int queued = -1;
  ioctl(fd, FIONREAD, &queued);
  return queued;
}

}  // namespace

class StandardError : public ::testing::TestWithParam<redirection_case> {};

// Wherever standard error goes, the hint and the line break after the key
// are shown on the terminal the key is read from, and a key ends the wait.
// Nothing goes to standard error, so no closed pipe and no file size limit
// can end the program there.
TEST_P(StandardError, TheHintIsShownWhereTheKeyIsRead) {
  const redirection_case& t = GetParam();
  launch how;
  how.stdin_read_only = t.stdin_read_only;
  redirected files;
  redirect(t.to, how, files);
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  files.given.reset();
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  s.read_rest();
  EXPECT_THAT(s.screen, ::testing::EndsWith(worked_example + hint + "\r\n"));
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  if (files.reached.get() >= 0) {
    EXPECT_EQ(bytes_in(files.reached.get()), 0) << "written to standard error";
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

// ---- Input settings that would drop or rewrite a byte --------------------

struct setting_case {
  std::string name;
  tcflag_t iflag;   // set in c_iflag before the program starts
  std::string key;  // a key that must end the wait
};

class InputSetting : public ::testing::TestWithParam<setting_case> {};

// Raw mode clears every input setting that drops or rewrites a byte, so the
// key still ends the wait; the line's framing and output settings stay as
// found during the wait, and everything is put back after.
TEST_P(InputSetting, TheKeyStillEndsTheWait) {
  const setting_case& t = GetParam();
  pty_shell s;
  termios found = s.before;
  found.c_iflag |= t.iflag;
  s.set_settings(found);
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  const termios during = s.settings();
  EXPECT_EQ(during.c_cflag, found.c_cflag) << "the line's framing was changed";
  EXPECT_EQ(during.c_oflag, found.c_oflag) << "output processing was changed";
  ASSERT_TRUE(s.type(t.key));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(found, s.settings())) << "the settings were not put back";
}

INSTANTIATE_TEST_SUITE_P(Keys, InputSetting,
                         ::testing::Values(setting_case{"IgncrEnter", IGNCR, "\r"},
                                           setting_case{"IgncrAndIcrnlEnter", IGNCR | ICRNL, "\r"}),
                         by_name);

}  // namespace pause_tests
