// Runs the real executable on a pseudo-terminal, as a person at a console
// would, and checks the wait for a key press after the result: one key ends
// it, and the terminal is left as it was found however the program ends.
//
// The program runs as the foreground job of a stand-in for a job-control
// shell, which leads the terminal's session and reports each change of the
// program's state through a pipe, so that stopping and continuing it works
// as it does under a real shell.
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string prompt = "enter word(ex. 00101) : ";
const std::string hint = "Press any key to continue";

// How the program is started, apart from its terminal.
struct launch {
  int stderr_fd = -1;  // standard error, if not the terminal
  bool ignore_hangup = false;
  rlim_t file_size_limit = RLIM_INFINITY;
};

struct session {
  pid_t shell = -1;
  pid_t pid = -1;  // the program
  int master = -1;
  int slave = -1;   // kept open here to read the terminal's settings
  int report = -1;  // the shell's reports: the program's pid, then its wait statuses
  std::string screen;
};

[[noreturn]] void exec_program(int slave, const launch& how) {
  setpgid(0, 0);
  std::signal(SIGTTOU, SIG_IGN);
  tcsetpgrp(slave, getpid());
  std::signal(SIGTTOU, SIG_DFL);
  std::signal(SIGHUP, how.ignore_hangup ? SIG_IGN : SIG_DFL);
  const rlimit no_core{0, 0};
  const rlimit file_size{how.file_size_limit, how.file_size_limit};
  setrlimit(RLIMIT_CORE, &no_core);
  setrlimit(RLIMIT_FSIZE, &file_size);
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  dup2(how.stderr_fd >= 0 ? how.stderr_fd : slave, STDERR_FILENO);
  execl(AVOIDREC_EXE, AVOIDREC_EXE, static_cast<char*>(nullptr));
  _exit(127);
}

// The stand-in shell: it takes the terminal as its session's controlling
// terminal, runs the program as a job of its own, and reports on it.
[[noreturn]] void run_shell(int slave, int report, const launch& how) {
  setsid();
  ioctl(slave, TIOCSCTTY, 0);
  std::signal(SIGHUP, SIG_IGN);
  const pid_t pid = fork();
  if (pid == 0) exec_program(slave, how);
  write(report, &pid, sizeof pid);
  int status = 0;
  while (waitpid(pid, &status, WUNTRACED | WCONTINUED) == pid) {
    write(report, &status, sizeof status);
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
  }
  _exit(0);
}

session start(const launch& how = {}) {
  session s;
  int report[2];
  if (openpty(&s.master, &s.slave, nullptr, nullptr, nullptr) != 0 || pipe(report) != 0) return s;
  s.shell = fork();
  if (s.shell == 0) {
    close(s.master);
    close(report[0]);
    run_shell(s.slave, report[1], how);
  }
  close(report[1]);
  s.report = report[0];
  if (read(s.report, &s.pid, sizeof s.pid) != sizeof s.pid) s.pid = -1;
  return s;
}

// Ends whatever is left of the session.
void close_session(session& s) {
  if (s.pid > 0) kill(s.pid, SIGKILL);
  if (s.shell > 0) waitpid(s.shell, nullptr, 0);
  for (int fd : {s.master, s.slave, s.report}) {
    if (fd >= 0) close(fd);
  }
}

// Reads what the program shows for up to `wait`, or less if the shell
// reports meanwhile.
void read_screen(session& s, std::chrono::milliseconds wait) {
  pollfd p[2] = {{s.master, POLLIN, 0}, {s.report, POLLIN, 0}};
  if (poll(p, 2, static_cast<int>(wait.count())) <= 0 || (p[0].revents & POLLIN) == 0) return;
  char buf[256];
  const ssize_t got = read(s.master, buf, sizeof buf);
  if (got > 0) s.screen.append(buf, static_cast<std::size_t>(got));
}

// Reads the terminal until `text` has appeared or a few seconds have passed.
bool wait_for_text(session& s, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (s.screen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    read_screen(s, 50ms);
  }
  return true;
}

bool raw_mode(const session& s) {
  termios now{};
  return tcgetattr(s.slave, &now) == 0 && (now.c_lflag & (ICANON | ECHO | ISIG)) == 0;
}

// Waits a few seconds for the program to put the terminal in raw mode.
bool wait_for_raw_mode(session& s) {
  for (int k = 0; k < 100 && !raw_mode(s); ++k) read_screen(s, 50ms);
  return raw_mode(s);
}

void type(const session& s, const std::string& keys) {
  ASSERT_EQ(write(s.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

// Waits a few seconds for the program's next change of state, reading the
// screen meanwhile; returns its wait status, or -1.
int next_status(session& s) {
  for (int k = 0; k < 100; ++k) {
    pollfd p{s.report, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
      int status = 0;
      return read(s.report, &status, sizeof status) == sizeof status ? status : -1;
    }
    read_screen(s, 50ms);
  }
  return -1;
}

bool running(const session& s) {
  pollfd p{s.report, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

// Waits a few seconds for the program to end; returns its exit status, or
// 128 plus the signal that ended it, or -1.
int finish(session& s) {
  int status = next_status(s);
  // A hang-up continues the terminal's foreground job, which is reported too.
  while (status != -1 && WIFCONTINUED(status)) status = next_status(s);
  if (status == -1 || !(WIFEXITED(status) || WIFSIGNALED(status))) return -1;
  s.pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

termios settings(const session& s) {
  termios now{};
  EXPECT_EQ(tcgetattr(s.slave, &now), 0);
  return now;
}

// The number of bytes left in the terminal's input for whatever runs next.
// Canonical mode would hide an unfinished line, such as the rest of a key.
int input_left(const session& s) {
  termios plain = settings(s);
  plain.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  tcsetattr(s.slave, TCSANOW, &plain);
  int left = -1;
  ioctl(s.slave, FIONREAD, &left);
  return left;
}

struct pause_case {
  std::string name;
  std::string typed;  // everything typed after the prompt, at once
  std::string shown;  // what must be on the screen before the wait
  std::string key;    // the key that ends the wait
  int status;
};

// Test names already say which case failed; print just that.
void PrintTo(const pause_case& c, std::ostream* os) {
  *os << c.name;
}

class KeyWait : public ::testing::TestWithParam<pause_case> {};

TEST_P(KeyWait, OneKeyEndsItAndLeavesTheTerminalAsFound) {
  const pause_case& t = GetParam();
  session s = start();
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);

  ASSERT_TRUE(wait_for_text(s, prompt)) << s.screen;
  type(s, t.typed);
  ASSERT_TRUE(wait_for_text(s, hint)) << s.screen;
  EXPECT_NE(s.screen.find(t.shown), std::string::npos) << s.screen;
  ASSERT_TRUE(wait_for_raw_mode(s));

  // The Enter after the word, and anything else typed ahead, must not end it.
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(running(s));

  type(s, t.key);
  EXPECT_EQ(finish(s), t.status) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
  EXPECT_EQ(input_left(s), 0) << "part of the key was left for the next program";
  close_session(s);
}

const std::string worked_example = "0 2 0 0 0 -1 \r\n";

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyWait,
    ::testing::Values(pause_case{"Letter", "00101\n", worked_example, "q", 0},
                      pause_case{"CtrlC", "00101\n", worked_example, "\x03", 0},
                      pause_case{"CtrlBackslash", "0101\n", "0 2 -1 2 -1 \r\n", "\x1c", 0},
                      pause_case{"Enter", "01\n", "0 2 -1 \r\n", "\r", 0},
                      pause_case{"ArrowUp", "00101\n", worked_example, "\x1b[A", 0},
                      pause_case{"F5", "00101\n", worked_example, "\x1b[15~", 0},
                      pause_case{"TwoByteLetter", "00101\n", worked_example, "\xc3\xa9", 0},
                      pause_case{"TypedAheadIsDiscarded", "00101\nxyz\n", worked_example, " ", 0},
                      // Ctrl-D on an empty line ends the input before any word; the message
                      // starts on a line of its own.
                      pause_case{"AfterNoWordMessage", "\x04",
                                 prompt + "\r\navoidrec: no word entered", "q", 1}),
    [](const auto& info) { return info.param.name; });

// How a signal reaches the waiting program.
enum class sent { by_kill, by_hint_to_closed_pipe, by_hint_over_size_limit };

struct signal_case {
  std::string name;
  int sig;
  sent how;
};

// Test names already say which case failed; print just that.
void PrintTo(const signal_case& c, std::ostream* os) {
  *os << c.name;
}

class EndingSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(EndingSignal, EndsTheProgramByThatSignalWithTheTerminalAsFound) {
  const signal_case& t = GetParam();
  launch how;
  int closed_pipe[2] = {-1, -1};
  char limited[] = "/tmp/avoidrec-stderr-XXXXXX";
  if (t.how == sent::by_hint_to_closed_pipe) {
    ASSERT_EQ(pipe(closed_pipe), 0);
    close(closed_pipe[0]);
    how.stderr_fd = closed_pipe[1];
  } else if (t.how == sent::by_hint_over_size_limit) {
    how.stderr_fd = mkstemp(limited);
    ASSERT_GE(how.stderr_fd, 0);
    unlink(limited);
    how.file_size_limit = 0;
  }
  session s = start(how);
  if (how.stderr_fd >= 0) close(how.stderr_fd);
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);

  ASSERT_TRUE(wait_for_text(s, prompt)) << s.screen;
  type(s, "00101\n");
  ASSERT_TRUE(wait_for_text(s, worked_example)) << s.screen;
  if (t.how == sent::by_kill) {
    ASSERT_TRUE(wait_for_raw_mode(s));
    kill(s.pid, t.sig);
  }
  EXPECT_EQ(finish(s), 128 + t.sig) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
  close_session(s);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EndingSignal,
    ::testing::Values(
        signal_case{"Term", SIGTERM, sent::by_kill}, signal_case{"Hup", SIGHUP, sent::by_kill},
        signal_case{"Int", SIGINT, sent::by_kill}, signal_case{"Quit", SIGQUIT, sent::by_kill},
        signal_case{"Usr1", SIGUSR1, sent::by_kill}, signal_case{"Alrm", SIGALRM, sent::by_kill},
        signal_case{"PipeWritingTheHint", SIGPIPE, sent::by_hint_to_closed_pipe},
        signal_case{"XfszWritingTheHint", SIGXFSZ, sent::by_hint_over_size_limit}),
    [](const auto& info) { return info.param.name; });

TEST(JobControl, StopPutsTheTerminalBackAndContinueWaitsAgain) {
  session s = start();
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);
  ASSERT_TRUE(wait_for_text(s, prompt)) << s.screen;
  type(s, "00101\n");
  ASSERT_TRUE(wait_for_text(s, hint)) << s.screen;
  ASSERT_TRUE(wait_for_raw_mode(s));

  kill(s.pid, SIGTSTP);
  const int stopped = next_status(s);
  ASSERT_TRUE(WIFSTOPPED(stopped) && WSTOPSIG(stopped) == SIGTSTP) << stopped;
  EXPECT_TRUE(same_settings(before, settings(s)));

  s.screen.clear();
  kill(s.pid, SIGCONT);
  EXPECT_TRUE(WIFCONTINUED(next_status(s)));
  ASSERT_TRUE(wait_for_raw_mode(s));
  EXPECT_TRUE(wait_for_text(s, hint)) << "the hint is shown again: " << s.screen;
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(running(s));

  type(s, "q");
  EXPECT_EQ(finish(s), 0) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
  close_session(s);
}

// With SIGHUP ignored, as under nohup, the program outlives its terminal; the
// read of the key then ends without a key, and so must the wait.
TEST(HangUp, EndsTheWaitAtOnce) {
  launch how;
  how.ignore_hangup = true;
  session s = start(how);
  ASSERT_GT(s.pid, 0);
  ASSERT_TRUE(wait_for_text(s, prompt)) << s.screen;
  type(s, "00101\n");
  ASSERT_TRUE(wait_for_text(s, hint)) << s.screen;
  ASSERT_TRUE(wait_for_raw_mode(s));

  close(s.master);
  s.master = -1;
  EXPECT_EQ(finish(s), 0);
  close_session(s);
}

}  // namespace
