// Runs the real executable on a pseudo-terminal, as a person at a console
// would, and checks the wait for a key press after the result: one key ends
// it, and the terminal is left as it was found however the program ends.
//
// The program runs as the foreground job of a small job-control shell that
// does what bash does where it matters here: it leads the terminal's
// session, takes the terminal back and puts its own settings back when the
// job stops, continues the job in the foreground or the background on
// command, and passes a hang-up on to the job before it exits. Races are
// reached exactly by running the program under strace, which delivers a
// signal, an error or a delay at one given system call.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const char* const exe = std::getenv("AVOIDREC_EXE") ? std::getenv("AVOIDREC_EXE") : AVOIDREC_EXE;

const std::string prompt = "enter word(ex. 00101) : ";
const std::string hint = "Press any key to continue";
const std::string worked_example = "0 2 0 0 0 -1 \r\n";

// How the program is started, apart from its terminal.
struct launch {
  int stderr_fd = -1;  // standard error, if not the terminal
  bool ignore_hangup = false;
  rlim_t file_size_limit = RLIM_INFINITY;
  std::vector<std::string> tracer{};  // a command the program runs under: strace and its options
  // The terminal is not the program's controlling terminal, as for a
  // program in a session of its own that reads another terminal.
  bool own_session = false;
};

// What the shell reports on each change of the job's state: the wait status,
// and the terminal's settings as the shell found them, before it put its own
// back on a stop.
struct report {
  int status = -1;
  termios found{};
};

// ---- The shell, in a process of its own --------------------------------

volatile std::sig_atomic_t job = 0;

// As bash does when its terminal hangs up: the job gets the hang-up, and a
// continue should it be stopped, and the shell exits.
void on_shell_hangup(int) {
  kill(-job, SIGHUP);
  kill(-job, SIGCONT);
  _exit(0);
}

[[noreturn]] void exec_program(int slave, const launch& how) {
  if (how.own_session) {
    setsid();
  } else {
    setpgid(0, 0);
    tcsetpgrp(slave, getpid());
  }
  for (int sig = 1; sig < NSIG; ++sig) std::signal(sig, SIG_DFL);
  std::signal(SIGHUP, how.ignore_hangup ? SIG_IGN : SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const rlimit no_core{0, 0};
  const rlimit file_size{how.file_size_limit, how.file_size_limit};
  setrlimit(RLIMIT_CORE, &no_core);
  setrlimit(RLIMIT_FSIZE, &file_size);
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  dup2(how.stderr_fd >= 0 ? how.stderr_fd : slave, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& word : how.tracer) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(const_cast<char*>(exe));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// 'f' brings the job to the foreground and continues it, as `fg` does; 'b'
// continues it in the background, as `bg` does. The end of the commands ends
// the shell.
bool obey(int commands, int slave, pid_t pid) {
  char command = 0;
  if (read(commands, &command, 1) != 1) return false;
  if (command == 'f') tcsetpgrp(slave, pid);
  kill(-pid, SIGCONT);
  return true;
}

[[noreturn]] void run_shell(int slave, int commands, int reports, const launch& how) {
  setsid();
  ioctl(slave, TIOCSCTTY, 0);
  // An interactive bash ignores these itself; its jobs get the defaults.
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU, SIGINT, SIGQUIT, SIGTERM}) std::signal(sig, SIG_IGN);
  termios own{};
  tcgetattr(slave, &own);
  const pid_t pid = fork();
  if (pid == 0) exec_program(slave, how);
  if (!how.own_session) {
    setpgid(pid, pid);
    tcsetpgrp(slave, pid);
  }
  job = pid;
  std::signal(SIGHUP, on_shell_hangup);
  if (write(reports, &pid, sizeof pid) != sizeof pid) _exit(1);
  // A hang-up waits while a change of state is reaped and reported, so that
  // none is lost.
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  for (;;) {
    pollfd command{commands, POLLIN, 0};
    if (poll(&command, 1, 5) > 0 && !obey(commands, slave, pid)) _exit(0);
    sigprocmask(SIG_BLOCK, &hangup, nullptr);
    report r;
    if (waitpid(pid, &r.status, WNOHANG | WUNTRACED | WCONTINUED) == pid) {
      tcgetattr(slave, &r.found);
      if (WIFSTOPPED(r.status)) {
        tcsetpgrp(slave, getpgrp());
        tcsetattr(slave, TCSADRAIN, &own);
      }
      if (write(reports, &r, sizeof r) != sizeof r) _exit(1);
      if (WIFEXITED(r.status) || WIFSIGNALED(r.status)) _exit(0);
    }
    sigprocmask(SIG_UNBLOCK, &hangup, nullptr);
  }
}

// ---- The test's side ---------------------------------------------------

// A terminal, its shell and the program, all ended and reaped when the
// session goes, whatever the test's outcome.
struct session {
  pid_t shell = -1;
  pid_t pid = -1;  // the program, which leads its own process group
  bool ended = false;
  pid_t tracer = -1;
  int master = -1;
  int slave = -1;  // kept open here to read the terminal's settings
  int commands = -1;
  int reports = -1;
  std::string screen;

  explicit session(const launch& how = {});
  session(const session&) = delete;
  session& operator=(const session&) = delete;
  ~session();
};

session::session(const launch& how) {
  // A program whose shell has gone becomes this process's child, to be
  // reaped here; so does strace's tracer.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  int to_shell[2];
  int from_shell[2];
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  if (pipe2(to_shell, O_CLOEXEC) != 0) return;
  if (pipe2(from_shell, O_CLOEXEC) != 0) {
    close(to_shell[0]);
    close(to_shell[1]);
    return;
  }
  shell = fork();
  if (shell == 0) {
    close(master);
    run_shell(slave, to_shell[0], from_shell[1], how);
  }
  close(to_shell[0]);
  close(from_shell[1]);
  commands = to_shell[1];
  reports = from_shell[0];
  if (read(reports, &pid, sizeof pid) != sizeof pid) pid = -1;
}

session::~session() {
  if (pid > 0 && !ended) kill(-pid, SIGKILL);
  if (tracer > 0) kill(tracer, SIGKILL);
  if (shell > 0) {
    kill(shell, SIGKILL);
    waitpid(shell, nullptr, 0);
  }
  for (pid_t child : {pid, tracer}) {
    if (child > 0) waitpid(child, nullptr, 0);
  }
  for (int fd : {master, slave, commands, reports}) {
    if (fd >= 0) close(fd);
  }
}

// Reads what the program shows for up to `wait`, or less if the shell
// reports meanwhile.
void read_screen(session& s, std::chrono::milliseconds wait) {
  pollfd p[2] = {{s.master, POLLIN, 0}, {s.reports, POLLIN, 0}};
  if (poll(p, 2, static_cast<int>(wait.count())) <= 0 || (p[0].revents & POLLIN) == 0) return;
  char buf[256];
  const ssize_t got = read(s.master, buf, sizeof buf);
  if (got > 0) s.screen.append(buf, static_cast<std::size_t>(got));
}

// Reads the screen until `done` holds or five seconds have passed.
template <class Condition>
bool within_seconds(session& s, Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    read_screen(s, 20ms);
  }
  return true;
}

bool wait_for_text(session& s, const std::string& text) {
  return within_seconds(s, [&] { return s.screen.find(text) != std::string::npos; });
}

bool raw_mode(const termios& t) {
  return (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_iflag & IXON) == 0;
}

termios settings(const session& s) {
  termios now{};
  EXPECT_EQ(tcgetattr(s.slave, &now), 0);
  return now;
}

bool wait_for_raw_mode(session& s) {
  return within_seconds(s, [&] { return raw_mode(settings(s)); });
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

void type(const session& s, const std::string& keys) {
  ASSERT_EQ(write(s.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

void command(const session& s, char c) {
  ASSERT_EQ(write(s.commands, &c, 1), 1);
}

// Waits a few seconds for the shell's next report, reading the screen
// meanwhile. False if none came, or the shell has gone.
bool next_report(session& s, report& r) {
  if (!within_seconds(s, [&] {
        pollfd p{s.reports, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
      }))
    return false;
  return read(s.reports, &r, sizeof r) == sizeof r;
}

// Whether the shell has nothing to report.
bool unchanged(const session& s) {
  pollfd p{s.reports, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

bool stopped_by(const report& r, int sig) {
  return WIFSTOPPED(r.status) && WSTOPSIG(r.status) == sig;
}

int exit_code(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits a few seconds for the program to end, through stops and continues,
// bringing it back to the foreground at each stop if `fg` is set, and reaps
// it itself if the shell has gone first. Returns its exit status, or 128
// plus the signal that ended it, or -1.
int finish(session& s, bool fg = false) {
  report r;
  while (next_report(s, r)) {
    if (fg && WIFSTOPPED(r.status)) command(s, 'f');
    if (WIFEXITED(r.status) || WIFSIGNALED(r.status)) {
      s.ended = true;
      return exit_code(r.status);
    }
  }
  int status = 0;
  if (!within_seconds(s, [&] { return waitpid(s.pid, &status, WNOHANG) == s.pid; })) return -1;
  s.ended = true;
  return exit_code(status);
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

// Starts the program, types the word and waits for the key wait to begin.
void up_to_the_wait(session& s, const std::string& typed) {
  ASSERT_GT(s.pid, 0);
  ASSERT_TRUE(wait_for_text(s, prompt)) << s.screen;
  type(s, typed);
  ASSERT_TRUE(wait_for_text(s, hint)) << s.screen;
  ASSERT_TRUE(wait_for_raw_mode(s));
}

// ---- One key ends the wait ---------------------------------------------

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
  session s;
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);
  up_to_the_wait(s, t.typed);
  EXPECT_NE(s.screen.find(t.shown), std::string::npos) << s.screen;

  // The Enter after the word, and anything else typed ahead, must not end it.
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(unchanged(s)) << "ended before the key";

  type(s, t.key);
  EXPECT_EQ(finish(s), t.status) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
  EXPECT_EQ(input_left(s), 0) << "part of the key was left for the next program";
}

const std::string too_long(53, '0');

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
    [](const auto& info) { return info.param.name; });

// The syscall the program is blocked in, from /proc, or -1.
long blocked_in(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  return file >> number ? number : -1;
}

bool polling(pid_t pid) {
  const long now = blocked_in(pid);
#ifdef SYS_poll
  if (now == SYS_poll) return true;
#endif
  return now == SYS_ppoll;
}

// A terminal that is not the program's controlling terminal has no
// foreground group to wait for: the wait takes it as it is.
TEST(OtherTerminal, OneKeyEndsTheWait) {
  launch how;
  how.own_session = true;
  session s(how);
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);
  up_to_the_wait(s, "00101\n");
  type(s, "q");
  EXPECT_EQ(finish(s), 0) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
}

// ---- Every signal that ends the program --------------------------------

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
  session s(how);
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
}

// Classic ones, the hang-up a shell passes on, real-time ones, ones that are
// normally synchronous but sent by kill here, and ones the hint's write
// raises.
INSTANTIATE_TEST_SUITE_P(
    Signals, EndingSignal,
    ::testing::Values(
        signal_case{"Term", SIGTERM, sent::by_kill}, signal_case{"Int", SIGINT, sent::by_kill},
        signal_case{"Quit", SIGQUIT, sent::by_kill}, signal_case{"Usr1", SIGUSR1, sent::by_kill},
        signal_case{"Alrm", SIGALRM, sent::by_kill}, signal_case{"Pwr", SIGPWR, sent::by_kill},
        signal_case{"Io", SIGIO, sent::by_kill}, signal_case{"Hup", SIGHUP, sent::by_kill},
        signal_case{"RtMin", SIGRTMIN, sent::by_kill},
        signal_case{"RtMax", SIGRTMAX, sent::by_kill},
        signal_case{"SegvByKill", SIGSEGV, sent::by_kill},
        signal_case{"SysByKill", SIGSYS, sent::by_kill},
        signal_case{"PipeWritingTheHint", SIGPIPE, sent::by_hint_to_closed_pipe},
        signal_case{"XfszWritingTheHint", SIGXFSZ, sent::by_hint_over_size_limit}),
    [](const auto& info) { return info.param.name; });

// Signals whose default is to be ignored, such as a resized window's, leave
// the wait alone.
class IgnoredSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(IgnoredSignal, LeavesTheWaitAlone) {
  session s;
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);
  up_to_the_wait(s, "00101\n");
  kill(s.pid, GetParam().sig);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(unchanged(s)) << "the signal ended the wait";
  type(s, "q");
  EXPECT_EQ(finish(s), 0) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
}

INSTANTIATE_TEST_SUITE_P(Signals, IgnoredSignal,
                         ::testing::Values(signal_case{"Winch", SIGWINCH, sent::by_kill},
                                           signal_case{"Chld", SIGCHLD, sent::by_kill},
                                           signal_case{"Urg", SIGURG, sent::by_kill}),
                         [](const auto& info) { return info.param.name; });

// ---- Job control, as a shell does it -----------------------------------

// Continued in the foreground after any stop, the wait takes the terminal
// again, though the shell put its own settings back, and shows the hint anew.
void foreground_waits_again(session& s, const termios& before) {
  s.screen.clear();
  command(s, 'f');
  report r;
  ASSERT_TRUE(next_report(s, r));
  EXPECT_TRUE(WIFCONTINUED(r.status)) << r.status;
  ASSERT_TRUE(wait_for_raw_mode(s)) << "the wait is in line mode";
  EXPECT_TRUE(wait_for_text(s, hint)) << "the hint is shown again: " << s.screen;
  type(s, "q");
  EXPECT_EQ(finish(s), 0) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
}

TEST(JobControl, StoppedBySigstopThenFgWaitsAgain) {
  session s;
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);
  up_to_the_wait(s, "00101\n");
  kill(s.pid, SIGSTOP);
  report r;
  ASSERT_TRUE(next_report(s, r) && stopped_by(r, SIGSTOP)) << r.status;
  foreground_waits_again(s, before);
}

TEST(JobControl, SigtstpPutsTheTerminalBackThenFgWaitsAgain) {
  session s;
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);
  up_to_the_wait(s, "00101\n");
  kill(s.pid, SIGTSTP);
  report r;
  ASSERT_TRUE(next_report(s, r) && stopped_by(r, SIGTSTP)) << r.status;
  EXPECT_TRUE(same_settings(before, r.found)) << "the terminal was left raw at the stop";
  foreground_waits_again(s, before);
}

// Continued in the background, the wait leaves the terminal, now the
// shell's, alone and shows no hint. `kill %1` then sends the group SIGTERM,
// and SIGCONT since it is stopped.
TEST(JobControl, InTheBackgroundSigtermStillEndsIt) {
  session s;
  ASSERT_GT(s.pid, 0);
  const termios before = settings(s);
  up_to_the_wait(s, "00101\n");
  kill(s.pid, SIGTSTP);
  report r;
  ASSERT_TRUE(next_report(s, r) && stopped_by(r, SIGTSTP)) << r.status;
  // Its read of the key stops it by SIGTTIN; that stop may overtake the
  // report of the continue.
  s.screen.clear();
  command(s, 'b');
  while (next_report(s, r) && WIFCONTINUED(r.status)) {
  }
  ASSERT_TRUE(stopped_by(r, SIGTTIN)) << r.status;
  EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the hint was shown in the background";
  kill(-s.pid, SIGTERM);
  kill(-s.pid, SIGCONT);
  EXPECT_EQ(finish(s), 128 + SIGTERM) << s.screen;
  EXPECT_TRUE(same_settings(before, settings(s)));
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
  session s(how);
  up_to_the_wait(s, "00101\n");
  if (t.stopped) {
    kill(s.pid, SIGSTOP);
    report r;
    ASSERT_TRUE(next_report(s, r) && stopped_by(r, SIGSTOP)) << r.status;
  }
  close(s.master);
  s.master = -1;
  EXPECT_THAT(t.statuses, ::testing::Contains(finish(s)));
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, HangUp,
    ::testing::Values(hangup_case{"WhileWaiting", false, false, {0, 128 + SIGHUP}},
                      hangup_case{"WhileStopped", false, true, {128 + SIGHUP}},
                      hangup_case{"IgnoredWhileWaiting", true, false, {0}},
                      hangup_case{"IgnoredWhileStopped", true, true, {0}}),
    [](const auto& info) { return info.param.name; });

// ---- Races, reached exactly under strace -------------------------------

// The strace command that runs the program as the shell's own job (its
// tracer detached in a group of its own) and acts on its ioctl, read and poll
// calls: `action` logs them or injects at one.
std::vector<std::string> strace(const std::vector<std::string>& action) {
  std::vector<std::string> command = {
      AVOIDREC_STRACE, "-DD", "-qq", "-e", "trace=ioctl,read,poll,ppoll", "-e", "signal=none"};
  command.insert(command.end(), action.begin(), action.end());
  return command;
}

// Records the tracer's pid, so that the session ends it too.
void note_tracer(session& s) {
  std::ifstream status("/proc/" + std::to_string(s.pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) s.tracer = std::stoi(line.substr(10));
  }
}

// The program's ioctl and read calls, as strace logs them, in a run that
// ends the wait with a key.
std::vector<std::string> logged_calls() {
  char log[] = "/tmp/avoidrec-strace-XXXXXX";
  const int fd = mkstemp(log);
  if (fd < 0) return {};
  close(fd);
  {
    launch how;
    how.tracer = strace({"-o", log});
    session s(how);
    up_to_the_wait(s, "00101\n");
    note_tracer(s);
    type(s, "q");
    EXPECT_EQ(finish(s), 0);
    if (s.tracer > 0) waitpid(s.tracer, nullptr, 0);
    s.tracer = -1;
  }
  std::vector<std::string> calls;
  std::ifstream file(log);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("ioctl(", 0) == 0 || line.rfind("read(", 0) == 0) calls.push_back(line);
  }
  unlink(log);
  return calls;
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
  for (const std::string& call : logged_calls()) {
    if (call.rfind("read(", 0) == 0) {
      ++reads;
      if (found.raw > 0 && found.key_read == 0) found.key_read = reads;
      continue;
    }
    ++ioctls;
    if (call.find("TCSETS") == std::string::npos) continue;
    if (found.raw == 0) found.raw = ioctls;
    found.restore = ioctls;
  }
  return found;
}

class Race : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::strlen(AVOIDREC_STRACE) == 0) GTEST_SKIP() << "strace is not installed";
    at = find_landmarks();
    ASSERT_GT(at.raw, 0);
    ASSERT_GT(at.key_read, 0);
    ASSERT_GT(at.restore, at.raw);
  }

  // Runs the program with strace's `inject` (calls:action:when), up to the
  // point where the hint shows.
  void start(const std::string& inject) {
    launch how;
    how.tracer = strace({"-o", "/dev/null", "-e", "inject=" + inject});
    s = std::make_unique<session>(how);
    ASSERT_GT(s->pid, 0);
    before = settings(*s);
    ASSERT_TRUE(wait_for_text(*s, prompt)) << s->screen;
    note_tracer(*s);
    type(*s, "00101\n");
    ASSERT_TRUE(wait_for_text(*s, hint)) << s->screen;
  }

  landmarks at;
  std::unique_ptr<session> s;
  termios before{};
};

// A stop right after the settings are put back for good: continued, the
// program does not take the terminal again, and ends leaving it as found.
TEST_F(Race, StopAfterTheLastRestore) {
  start("ioctl:signal=SIGTSTP:when=" + std::to_string(at.restore + 1));
  ASSERT_TRUE(wait_for_raw_mode(*s));
  type(*s, "q");
  report r;
  ASSERT_TRUE(next_report(*s, r) && stopped_by(r, SIGTSTP)) << r.status;
  s->screen.clear();
  command(*s, 'f');
  EXPECT_EQ(finish(*s), 0) << s->screen;
  EXPECT_EQ(s->screen.find(hint), std::string::npos) << "the wait came back";
  EXPECT_TRUE(same_settings(before, settings(*s)));
}

// A stop right after SIGTERM's handler has put the terminal back waits for
// that handler, which ends the program. The handler puts the settings back
// with the same calls as the end of the wait, so they are counted alike.
TEST_F(Race, StopInsideTheTermHandler) {
  start("ioctl:signal=SIGTSTP:when=" + std::to_string(at.restore + 1));
  ASSERT_TRUE(wait_for_raw_mode(*s));
  kill(s->pid, SIGTERM);
  EXPECT_EQ(finish(*s, true), 128 + SIGTERM) << s->screen;
  EXPECT_TRUE(same_settings(before, settings(*s)));
}

// Entering raw mode is interrupted by a stop: the entry is tried again, the
// stop puts the terminal back, and the wait goes on after `fg`.
TEST_F(Race, StopInterruptsTheRawEntry) {
  start("ioctl:error=EINTR:signal=SIGTSTP:when=" + std::to_string(at.raw));
  report r;
  ASSERT_TRUE(next_report(*s, r) && stopped_by(r, SIGTSTP)) << r.status;
  foreground_waits_again(*s, before);
}

// A setting of the terminal that fails with EINTR, which POSIX allows, is
// made again: the wait still enters raw mode, and still puts the settings
// back at its end.
struct eintr_case {
  std::string name;
  int landmarks::*call;
};

void PrintTo(const eintr_case& c, std::ostream* os) {
  *os << c.name;
}

class InterruptedSetting : public Race, public ::testing::WithParamInterface<eintr_case> {};

TEST_P(InterruptedSetting, IsMadeAgain) {
  start("ioctl:error=EINTR:when=" + std::to_string(at.*GetParam().call));
  ASSERT_TRUE(wait_for_raw_mode(*s));
  type(*s, "q");
  EXPECT_EQ(finish(*s), 0) << s->screen;
  EXPECT_TRUE(same_settings(before, settings(*s)));
}

INSTANTIATE_TEST_SUITE_P(Race, InterruptedSetting,
                         ::testing::Values(eintr_case{"RawEntry", &landmarks::raw},
                                           eintr_case{"Restore", &landmarks::restore}),
                         [](const auto& info) { return info.param.name; });

// Over a slow link the bytes of a key arrive apart: the rest of the key is
// taken with it, not left for the shell. The program's wait for the rest is
// held back a second as it starts, so that the rest surely comes within the
// program's 100 ms, however slow this machine is.
TEST_F(Race, KeySplitAcrossReads) {
  start("poll,ppoll:delay_enter=1000000:when=1");
  ASSERT_TRUE(wait_for_raw_mode(*s));
  type(*s, "\x1b");
  ASSERT_TRUE(within_seconds(*s, [&] { return polling(s->pid); })) << "not waiting for the rest";
  type(*s, "[A");
  EXPECT_EQ(finish(*s), 0) << s->screen;
  EXPECT_TRUE(same_settings(before, settings(*s)));
  EXPECT_EQ(input_left(*s), 0) << "the rest of the key was left for the next program";
}

// A key pressed as soon as the hint shows, before the terminal is in raw
// mode (the raw entry is held back here), is the key that ends the wait.
TEST_F(Race, KeyRightAfterTheHint) {
  start("ioctl:delay_enter=300000:when=" + std::to_string(at.raw));
  type(*s, "q");
  EXPECT_EQ(finish(*s), 0) << s->screen;
  EXPECT_TRUE(same_settings(before, settings(*s)));
}

// A read of the key that a signal interrupts, as some systems let one do
// even with SA_RESTART, is read again: the wait goes on until a key.
TEST_F(Race, ReadOfTheKeyInterrupted) {
  start("read:error=EINTR:when=" + std::to_string(at.key_read));
  ASSERT_TRUE(wait_for_raw_mode(*s));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(unchanged(*s)) << "ended without a key";
  type(*s, "q");
  EXPECT_EQ(finish(*s), 0) << s->screen;
  EXPECT_TRUE(same_settings(before, settings(*s)));
}

}  // namespace
