// The key wait's signal table, checked against the kernel's own default
// actions: a child with the default disposition is sent each number in turn,
// and what it does (ends, stops, or goes on, and whether a stopped child goes
// on) is what the table must say. Linux only: it reads /proc.
#include "signals.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// What the kernel does with a signal whose disposition is the default.
enum class kernel_action { ends, stops, goes_on };

// The kernel's signal set, one bit per number, 64 of them: all blocked. The
// C library's call refuses its reserved numbers, the kernel's takes them.
constexpr unsigned long long every_signal = ~0ULL;
constexpr unsigned long long no_signal = 0;

// In the child: every number blocked, sig at its default, then, on the
// parent's word, everything unblocked; it says so and waits to be ended.
[[noreturn]] void child(int sig, int ready, int go) {
  // A group of its own, with its parent in another group of the session, so
  // that it is not orphaned, where the kernel would discard the stops; and
  // no core files from the numbers that dump one.
  setpgid(0, 0);
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &every_signal, nullptr, sizeof every_signal);
  // The C library refuses its reserved numbers here, which it leaves at the
  // default until a thread is cancelled.
  std::signal(sig, SIG_DFL);
  char byte = 'r';
  if (write(ready, &byte, 1) != 1 || read(go, &byte, 1) != 1) _exit(1);
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &no_signal, nullptr, sizeof no_signal);
  byte = 's';
  if (write(ready, &byte, 1) != 1) _exit(1);
  for (;;) pause();
}

// A field of /proc/<pid>/status, or "" if there is none.
std::string status_field(pid_t pid, const std::string& name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
  }
  return "";
}

bool pending(pid_t pid, int sig) {
  unsigned long long set = 0;
  std::istringstream(status_field(pid, "ShdPnd")) >> std::hex >> set;
  return (set >> (sig - 1) & 1U) != 0;
}

// Whether a process is stopped, by its state in /proc.
bool stopped(pid_t pid) {
  return status_field(pid, "State").find('T') != std::string::npos;
}

// A child that is killed and reaped however the test goes.
class test_child {
 public:
  explicit test_child(int sig) {
    if (pipe(ready) != 0 || pipe(go) != 0) return;
    pid = fork();
    if (pid == 0) child(sig, ready[1], go[0]);
    char byte = 0;
    if (pid > 0 && read(ready[0], &byte, 1) != 1) pid = -1;
  }
  test_child(const test_child&) = delete;
  test_child& operator=(const test_child&) = delete;
  ~test_child() {
    if (pid > 0 && !reaped) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (int fd : {ready[0], ready[1], go[0], go[1]}) {
      if (fd >= 0) close(fd);
    }
  }

  // Sends sig while it is blocked, waits until the kernel holds it pending
  // (a signal ignored by default is discarded only when it is delivered),
  // then lets it through and sees what the child does.
  kernel_action meets(int sig) {
    kill(pid, sig);
    const bool blockable = sig != SIGKILL && sig != SIGSTOP;
    while (blockable && !pending(pid, sig)) sched_yield();
    const char byte = 'g';
    if (write(go[1], &byte, 1) != 1) return kernel_action::goes_on;
    for (;;) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG | WUNTRACED) == pid) {
        if (WIFSTOPPED(status)) return kernel_action::stops;
        reaped = true;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        return kernel_action::ends;
      }
      pollfd said{ready[0], POLLIN, 0};
      if (poll(&said, 1, 1) > 0) return kernel_action::goes_on;
    }
  }

  // Whether sig continues the child once SIGSTOP has stopped it: the kernel
  // wakes it as sig is sent, before kill returns.
  bool continued_by(int sig) {
    kill(pid, SIGSTOP);
    int status = 0;
    if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) return false;
    kill(pid, sig);
    return !stopped(pid);
  }

  pid_t pid = -1;

 private:
  int ready[2] = {-1, -1};
  int go[2] = {-1, -1};
  bool reaped = false;
};

std::string name_of(int sig) {
  const char* name = strsignal(sig);
  return std::to_string(sig) + " (" + (name != nullptr ? name : "?") + ")";
}

class Kernel : public ::testing::TestWithParam<int> {};

// What the table says of each number is what the kernel's default action
// does: the numbers the wait ends by, and holds, end a program; those it
// stops by stop one; SIGCONT continues a stopped one; those it leaves alone
// do neither, but SIGKILL and SIGSTOP, which nobody can catch or block.
TEST_P(Kernel, DefaultActionIsWhatTheTableSays) {
  const int sig = GetParam();
  test_child c(sig);
  ASSERT_GT(c.pid, 0);
  const kernel_action action = c.meets(sig);
  switch (handling_of(sig)) {
    case handling::end:
    case handling::hold:
      EXPECT_EQ(action, kernel_action::ends) << name_of(sig);
      break;
    case handling::stop:
      EXPECT_EQ(action, kernel_action::stops) << name_of(sig);
      break;
    case handling::resume:
      ASSERT_EQ(action, kernel_action::goes_on) << name_of(sig);
      EXPECT_TRUE(c.continued_by(sig)) << name_of(sig);
      break;
    case handling::leave:
      if (sig == SIGKILL) {
        EXPECT_EQ(action, kernel_action::ends);
      } else if (sig == SIGSTOP) {
        EXPECT_EQ(action, kernel_action::stops);
      } else {
        ASSERT_EQ(action, kernel_action::goes_on) << name_of(sig);
        EXPECT_FALSE(c.continued_by(sig)) << name_of(sig);
      }
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Signal, Kernel, ::testing::Range(1, last_signal() + 1),
                         [](const auto& info) { return std::to_string(info.param); });

struct fixed_case {
  int sig;
  handling how;
};

// What every POSIX system agrees on.
TEST(Table, HoldsWhatPosixSays) {
  const fixed_case cases[] = {
      {SIGHUP, handling::end},     {SIGINT, handling::end},    {SIGTERM, handling::end},
      {SIGPIPE, handling::end},    {SIGALRM, handling::end},   {SIGXFSZ, handling::end},
      {SIGTSTP, handling::stop},   {SIGTTIN, handling::stop},  {SIGTTOU, handling::stop},
      {SIGCONT, handling::resume}, {SIGCHLD, handling::leave}, {SIGURG, handling::leave},
      {SIGWINCH, handling::leave}, {SIGKILL, handling::leave}, {SIGSTOP, handling::leave}};
  for (const fixed_case& c : cases) EXPECT_EQ(handling_of(c.sig), c.how) << name_of(c.sig);
}

}  // namespace
