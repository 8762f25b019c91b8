#include "pty_shell.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

using namespace std::chrono_literals;

// ---- The shell, in a process of its own --------------------------------

volatile std::sig_atomic_t job = 0;

// As bash does when its terminal hangs up: the job gets the hang-up, and a
// continue should it be stopped, and the shell exits.
void on_shell_hangup(int) {
  kill(-job, SIGHUP);
  kill(-job, SIGCONT);
  _exit(0);
}

// Makes the terminal the program's, as the way it is started says.
void take_terminal(int slave, terminal_use use) {
  switch (use) {
    case terminal_use::job:
      setpgid(0, 0);
      tcsetpgrp(slave, getpid());
      return;
    case terminal_use::no_job_control:
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      return;
    case terminal_use::other_terminal:
      setsid();
      return;
  }
}

// Tells the shell through `failed` why the program could not be started
// (errno, or EIO if that says nothing), and exits as a shell's child does
// when its command cannot be run.
[[noreturn]] void not_started(int failed) {
  const int error = errno != 0 ? errno : EIO;
  if (write(failed, &error, sizeof error) != sizeof error) _exit(126);
  _exit(127);
}

void set_standard_files(int slave, const launch& how, int failed) {
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  dup2(how.stderr_fd >= 0 ? how.stderr_fd : slave, STDERR_FILENO);
  if (how.stdin_read_only) {
    const int reading = open(ttyname(slave), O_RDONLY | O_NOCTTY);
    dup2(reading, STDIN_FILENO);
    close(reading);
  }
  if (how.piped_input) {
    int input[2];
    if (pipe(input) != 0) not_started(failed);
    const auto size = static_cast<ssize_t>(how.piped_input->size());
    if (write(input[1], how.piped_input->data(), how.piped_input->size()) != size) {
      not_started(failed);
    }
    close(input[1]);
    dup2(input[0], STDIN_FILENO);
    close(input[0]);
  }
  if (how.stderr_fd == stderr_closed) close(STDERR_FILENO);
}

// Blocks each number with the kernel's own call, since the C library's
// refuses its reserved ones, and sends it to this process, to be pending.
void block_and_send(const std::vector<int>& numbers) {
  unsigned long set = 0;  // the kernel's set: bit sig - 1 for each number
  static_assert(NSIG - 1 <= 8 * sizeof set, "the kernel's set needs more words here");
  for (int sig : numbers) set |= 1UL << (sig - 1);
  syscall(SYS_rt_sigprocmask, SIG_BLOCK, &set, nullptr, sizeof set);
  for (int sig : numbers) kill(getpid(), sig);
}

// `failed` is closed by a successful exec; anything written to it says why
// there was none.
[[noreturn]] void exec_program(int slave, const std::string& exe, const launch& how, int failed) {
  take_terminal(slave, how.use);
  for (int sig = 1; sig < NSIG; ++sig) std::signal(sig, SIG_DFL);
  std::signal(SIGHUP, how.ignore_hangup ? SIG_IGN : SIG_DFL);
  std::signal(SIGTTIN, how.ignore_ttin ? SIG_IGN : SIG_DFL);
  std::signal(SIGTTOU, how.ignore_ttou ? SIG_IGN : SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  block_and_send(how.blocked_and_pending);
  const rlimit no_core{0, 0};
  const rlimit file_size{how.file_size_limit, how.file_size_limit};
  setrlimit(RLIMIT_CORE, &no_core);
  setrlimit(RLIMIT_FSIZE, &file_size);
  set_standard_files(slave, how, failed);
  std::vector<char*> argv;
  for (const std::string& word : how.tracer) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(const_cast<char*>(exe.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  not_started(failed);
}

// 'f' brings the job to the foreground and continues it, as `fg` does; 'b'
// continues it in the background, as `bg` does; 'r' brings a job that runs to
// the foreground without a continue, as bash's `fg` does. The end of the
// commands ends the shell.
bool obey(int commands, int slave, pid_t pid) {
  char command = 0;
  if (read(commands, &command, 1) != 1) return false;
  if (command == 'f' || command == 'r') tcsetpgrp(slave, pid);
  if (command != 'r') kill(-pid, SIGCONT);
  return true;
}

[[noreturn]] void run_shell(int slave, int commands, int reports, const std::string& exe,
                            const launch& how) {
  const bool job_control = how.use != terminal_use::no_job_control;
  setsid();
  if (job_control) ioctl(slave, TIOCSCTTY, 0);
  // An interactive bash ignores these itself; its jobs get the defaults.
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU, SIGINT, SIGQUIT, SIGTERM}) std::signal(sig, SIG_IGN);
  termios own{};
  tcgetattr(slave, &own);
  int exec_result[2];
  if (pipe2(exec_result, O_CLOEXEC) != 0) _exit(1);
  const pid_t pid = fork();
  if (pid == 0) {
    close(exec_result[0]);
    exec_program(slave, exe, how, exec_result[1]);
  }
  int error = pid < 0 ? errno : 0;
  close(exec_result[1]);
  if (pid > 0 && how.use == terminal_use::job) {
    setpgid(pid, pid);
    tcsetpgrp(slave, pid);
  }
  // The test learns the program's pid once it runs, or, as a negative
  // number, the error that kept it from running; such a child is reaped
  // here, not left to the test.
  if (pid > 0 && read(exec_result[0], &error, sizeof error) == sizeof error) {
    waitpid(pid, nullptr, 0);
  }
  if (error != 0) {
    const pid_t none = -error;
    if (write(reports, &none, sizeof none) != sizeof none) _exit(1);
    _exit(0);
  }
  close(exec_result[0]);
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
      if (WIFSTOPPED(r.status) && how.use == terminal_use::job) {
        tcsetpgrp(slave, getpgrp());
        tcsetattr(slave, TCSADRAIN, &own);
      }
      const bool job_ended = WIFEXITED(r.status) || WIFSIGNALED(r.status);
      if (job_ended && how.shell_stays) {
        tcsetpgrp(slave, getpgrp());
        tcsetattr(slave, TCSADRAIN, &own);
      }
      if (write(reports, &r, sizeof r) != sizeof r) _exit(1);
      if (job_ended && !how.shell_stays) _exit(0);
    }
    sigprocmask(SIG_UNBLOCK, &hangup, nullptr);
  }
}

}  // namespace

// ---- The test's side ---------------------------------------------------

pty_shell::pty_shell() {
  // A program whose shell has gone becomes this process's child, to be
  // reaped here; so does strace's tracer.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  tcgetattr(slave, &before);
}

::testing::AssertionResult pty_shell::start(const std::string& exe, const launch& how) {
  int to_shell[2];
  int from_shell[2];
  if (master < 0) return ::testing::AssertionFailure() << "no pseudo-terminal";
  if (pipe2(to_shell, O_CLOEXEC) != 0) {
    return ::testing::AssertionFailure() << "no pipe: " << std::strerror(errno);
  }
  if (pipe2(from_shell, O_CLOEXEC) != 0) {
    const int error = errno;
    close(to_shell[0]);
    close(to_shell[1]);
    return ::testing::AssertionFailure() << "no pipe: " << std::strerror(error);
  }
  shell = fork();
  if (shell == 0) {
    close(master);
    close(to_shell[1]);
    close(from_shell[0]);
    run_shell(slave, to_shell[0], from_shell[1], exe, how);
  }
  close(to_shell[0]);
  close(from_shell[1]);
  commands = to_shell[1];
  reports = from_shell[0];
  pid_t started = 0;
  if (shell < 0 || read(reports, &started, sizeof started) != sizeof started) {
    return ::testing::AssertionFailure() << "the shell did not start";
  }
  if (started < 0) {
    return ::testing::AssertionFailure() << "cannot run " << exe << ": " << std::strerror(-started);
  }
  program = started;
  return ::testing::AssertionSuccess();
}

pty_shell::~pty_shell() {
  // The whole group, since a program that a wrapper started may outlive it.
  if (program > 0) kill(-program, SIGKILL);
  if (tracer > 0) kill(tracer, SIGKILL);
  if (shell > 0) {
    kill(shell, SIGKILL);
    waitpid(shell, nullptr, 0);
  }
  for (pid_t child : {program, tracer}) {
    if (child > 0) waitpid(child, nullptr, 0);
  }
  // Members of the group whose parent has gone are this process's children.
  if (program > 0)
    while (waitpid(-program, nullptr, 0) > 0) continue;
  for (int fd : {master, slave, commands, reports}) {
    if (fd >= 0) close(fd);
  }
}

::testing::AssertionResult pty_shell::type(const std::string& keys) const {
  if (write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size())) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "could not type " << ::testing::PrintToString(keys);
}

::testing::AssertionResult pty_shell::signal(int sig) const {
  if (program > 0 && kill(program, sig) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "could not send signal " << sig << " to the program";
}

::testing::AssertionResult pty_shell::signal_group(int sig) const {
  if (program > 0 && kill(-program, sig) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "could not send signal " << sig << " to the job";
}

bool pty_shell::stop(int sig, report& r) {
  return signal(sig) && next_report(r) && stopped_by(r, sig);
}

::testing::AssertionResult pty_shell::command(char c) const {
  if (write(commands, &c, 1) == 1) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the shell took no command '" << c << "'";
}

::testing::AssertionResult pty_shell::fg() const {
  return command('f');
}

::testing::AssertionResult pty_shell::fg_running() const {
  return command('r');
}

::testing::AssertionResult pty_shell::bg() const {
  return command('b');
}

termios pty_shell::settings() const {
  termios now{};
  EXPECT_EQ(tcgetattr(slave, &now), 0);
  return now;
}

void pty_shell::set_settings(const termios& t) const {
  EXPECT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
}

int pty_shell::lock_settings(const termios& locked) const {
  return ioctl(slave, TIOCSLCKTRMIOS, &locked) == 0 ? 0 : errno;
}

void pty_shell::make_nonblocking() const {
  EXPECT_EQ(fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK), 0);
}

void pty_shell::read_screen(std::chrono::milliseconds wait) {
  pollfd p[2] = {{master, POLLIN, 0}, {reports, POLLIN, 0}};
  if (poll(p, 2, static_cast<int>(wait.count())) <= 0 || (p[0].revents & POLLIN) == 0) return;
  char buf[256];
  const ssize_t got = read(master, buf, sizeof buf);
  if (got > 0) screen.append(buf, static_cast<std::size_t>(got));
}

void pty_shell::read_rest(std::chrono::milliseconds quiet) {
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0 || (p.revents & POLLIN) == 0) return;
    char buf[256];
    const ssize_t got = read(master, buf, sizeof buf);
    if (got <= 0) return;
    screen.append(buf, static_cast<std::size_t>(got));
  }
}

bool pty_shell::within_seconds(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    read_screen(5ms);
  }
  return true;
}

// The shell exits once it has reported the program's end (or, hung up, once
// it has passed the hang-up on), so with its end of the reports closed
// nothing more can change.
bool pty_shell::shell_gone() const {
  if (reports < 0) return true;
  pollfd p{reports, 0, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
}

bool pty_shell::while_the_shell_runs(const std::function<bool()>& done) {
  within_seconds([&] { return done() || shell_gone(); });
  if (!done() && shell_gone()) read_rest();
  return done();
}

bool pty_shell::wait_for_text(const std::string& text) {
  return while_the_shell_runs([&] { return screen.find(text) != std::string::npos; });
}

bool pty_shell::wait_for_raw_mode() {
  return while_the_shell_runs([&] { return raw_mode(settings()); });
}

bool pty_shell::next_report(report& r) {
  if (!within_seconds([&] {
        pollfd p{reports, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
      }))
    return false;
  if (read(reports, &r, sizeof r) != sizeof r) return false;
  if (WIFEXITED(r.status) || WIFSIGNALED(r.status)) ended = true;
  return true;
}

bool pty_shell::unchanged() const {
  pollfd p{reports, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

int pty_shell::status(bool fg_at_stops) {
  report r;
  while (next_report(r)) {
    if (fg_at_stops && WIFSTOPPED(r.status) && !fg()) return -1;
    if (ended) return exit_code(r.status);
  }
  int got = 0;
  if (!within_seconds([&] { return waitpid(program, &got, WNOHANG) == program; })) return -1;
  ended = true;
  return exit_code(got);
}

int pty_shell::input_left() const {
  termios plain = settings();
  plain.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  tcsetattr(slave, TCSANOW, &plain);
  int left = -1;
  ioctl(slave, FIONREAD, &left);
  return left;
}

int pty_shell::queued() const {
  int left = -1;
  ioctl(slave, FIONREAD, &left);
  return left;
}

int pty_shell::take_input() const {
  const int left = queued();
  if (left <= 0) return left;
  std::vector<char> taken(static_cast<std::size_t>(left));
  return static_cast<int>(read(slave, taken.data(), taken.size()));
}

void pty_shell::hang_up() {
  close(master);
  master = -1;
}

void pty_shell::note_tracer() {
  std::ifstream status("/proc/" + std::to_string(program) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) tracer = std::stoi(line.substr(10));
  }
}

void pty_shell::reap_tracer() {
  if (tracer > 0) waitpid(tracer, nullptr, 0);
  tracer = -1;
}

bool raw_mode(const termios& t) {
  return (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_iflag & IXON) == 0;
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool stopped_by(const report& r, int sig) {
  return WIFSTOPPED(r.status) && WSTOPSIG(r.status) == sig;
}

int exit_code(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
