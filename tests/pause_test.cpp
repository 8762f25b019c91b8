// Runs the real executable on a pseudo-terminal, as a person at a console
// would, and checks the wait for a key press after the result.
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string hint = "Press any key to continue";

struct session {
  pid_t pid = -1;
  int master = -1;
  int slave = -1;  // kept open here to read the terminal's settings
  std::string screen;
};

session start() {
  session s;
  if (openpty(&s.master, &s.slave, nullptr, nullptr, nullptr) != 0) return s;
  s.pid = fork();
  if (s.pid == 0) {
    setsid();
    ioctl(s.slave, TIOCSCTTY, 0);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(s.slave, fd);
    close(s.master);
    close(s.slave);
    execl(AVOIDREC_EXE, AVOIDREC_EXE, static_cast<char*>(nullptr));
    _exit(127);
  }
  return s;
}

// Reads the terminal until `text` has appeared or a few seconds have passed.
bool wait_for_text(session& s, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (s.screen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd p{s.master, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[256];
    const ssize_t got = read(s.master, buf, sizeof buf);
    if (got <= 0) return false;
    s.screen.append(buf, static_cast<std::size_t>(got));
  }
  return true;
}

void type(const session& s, const std::string& keys) {
  ASSERT_EQ(write(s.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

bool running(const session& s) {
  int status = 0;
  return waitpid(s.pid, &status, WNOHANG) == 0;
}

// Waits a few seconds for the program to end; returns its exit status, or -1.
int finish(session& s) {
  for (int k = 0; k < 100; ++k) {
    int status = 0;
    if (waitpid(s.pid, &status, WNOHANG) == s.pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pollfd p{s.master, POLLIN, 0};
    char buf[256];
    if (poll(&p, 1, 50) > 0 && read(s.master, buf, sizeof buf) > 0) continue;
  }
  kill(s.pid, SIGKILL);
  waitpid(s.pid, nullptr, 0);
  return -1;
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
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

TEST_P(KeyWait, WaitsForOneKeyAndRestoresTheTerminal) {
  const pause_case& t = GetParam();
  session s = start();
  ASSERT_GT(s.pid, 0);
  termios before{};
  ASSERT_EQ(tcgetattr(s.slave, &before), 0);

  ASSERT_TRUE(wait_for_text(s, "enter word(ex. 00101) : ")) << s.screen;
  type(s, t.typed);
  ASSERT_TRUE(wait_for_text(s, hint)) << s.screen;
  EXPECT_NE(s.screen.find(t.shown), std::string::npos) << s.screen;

  // The Enter after the word, and anything else typed ahead, must not end it.
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(running(s));
  termios during{};
  ASSERT_EQ(tcgetattr(s.slave, &during), 0);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);

  type(s, t.key);
  EXPECT_EQ(finish(s), t.status) << s.screen;
  termios after{};
  ASSERT_EQ(tcgetattr(s.slave, &after), 0);
  EXPECT_TRUE(same_settings(before, after));
  close(s.master);
  close(s.slave);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyWait,
    ::testing::Values(
        pause_case{"LetterAfterResult", "00101\n", "0 2 0 0 0 -1 \r\n", "q", 0},
        pause_case{"CtrlCAfterResult", "00101\n", "0 2 0 0 0 -1 \r\n", "\x03", 0},
        pause_case{"CtrlBackslash", "0101\n", "0 2 -1 2 -1 \r\n", "\x1c", 0},
        pause_case{"EnterAfterResult", "01\n", "0 2 -1 \r\n", "\r", 0},
        pause_case{"TypedAheadIsDiscarded", "00101\nxyz\n", "0 2 0 0 0 -1 \r\n", " ", 0},
        // Ctrl-D on an empty line ends the input before any word.
        pause_case{"AfterNoWordMessage", "\x04", "avoidrec: no word entered", "q", 1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
