#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>

#include "console.h"

// The wait puts the terminal in raw mode, the one change the program makes to
// it, and must put it back however the program ends. Three facts carry that:
//
// - `waiting` says whether raw mode is wanted. It changes only together with
//   the terminal and with every handled signal blocked, and each handler runs
//   with all of them blocked, so a handler sees the flag and the terminal
//   agree and never interrupts another handler.
// - Every signal whose default action ends the program is caught for the
//   wait: its handler puts the terminal back, then ends the program by the
//   same signal, so the parent sees the usual status.
// - The terminal is touched only while the program's group is the terminal's
//   foreground group. A shell takes the terminal back, with its own settings,
//   when a job stops; a job continued in the background leaves it alone.

namespace {

constexpr char hint[] = "Press any key to continue . . . ";

// The terminal's settings as found, and the ones used while waiting. Both
// are set before the signal handlers that read them are installed.
termios saved;
termios raw;

volatile std::sig_atomic_t waiting = 0;

// The signals caught for the wait, and the dispositions found for them,
// which are put back afterwards.
sigset_t caught;
struct sigaction found[NSIG];

// Whether the program may change the terminal: its group is the terminal's
// foreground group, or the terminal is not its controlling terminal, so no
// shell shares it by job control.
bool in_foreground() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group == getpgrp() || (group < 0 && errno == ENOTTY);
}

// Sets the terminal to `mode` if the program is in the foreground. Called
// with the handled signals blocked; async-signal-safe.
bool set_mode(const termios& mode) {
  if (!in_foreground()) return false;
  int done = 0;
  while ((done = tcsetattr(STDIN_FILENO, TCSANOW, &mode)) != 0 && errno == EINTR) {
  }
  return done == 0;
}

void install(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = caught;
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

// Takes the default action of sig now: ends or stops the program. sig is
// blocked while its handler runs, so it is unblocked after being raised.
void take_default_action(int sig) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(sig, &action, nullptr);
  raise(sig);
  // sig is blocked here, so raise returns and the unblock below delivers it.
  // cppcheck-suppress unreachableCode
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void write_hint() {
  const ssize_t ignored = write(STDERR_FILENO, hint, sizeof hint - 1);
  static_cast<void>(ignored);
}

}  // namespace

// The handlers have C linkage, as handlers should, and internal linkage.
extern "C" {

static void on_ending_signal(int sig) {
  if (waiting != 0) set_mode(saved);
  take_default_action(sig);
}

// SIGTSTP, SIGTTIN, SIGTTOU: the terminal is put back before the program
// stops. SIGCONT takes it again.
static void on_stop_signal(int sig) {
  const int saved_errno = errno;
  if (waiting != 0) set_mode(saved);
  take_default_action(sig);
  install(sig, on_stop_signal);
  errno = saved_errno;
}

// Continued, by `fg` or `bg`, after any stop (SIGSTOP included): back in the
// foreground, the wait takes the terminal again and shows the hint anew.
static void on_continue_signal([[maybe_unused]] int sig) {
  const int saved_errno = errno;
  if (waiting != 0 && set_mode(raw)) write_hint();
  errno = saved_errno;
}

}  // extern "C"

namespace {

bool is_stop_signal(int sig) {
  return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// Signals that cannot be caught, and those whose default is to be ignored,
// are left alone.
bool is_left_alone(int sig) {
  if (sig == SIGKILL || sig == SIGSTOP) return true;
  if (sig == SIGCHLD || sig == SIGURG || sig == SIGWINCH) return true;
#ifdef SIGINFO
  if (sig == SIGINFO) return true;
#endif
  return false;
}

// Catches every signal from the platform's whole range, so none that ends
// the program can be missed. A signal ignored at start (SIGHUP under nohup,
// say) stays ignored; numbers the C library keeps for itself fail the query
// and are skipped.
void catch_signals() {
  sigemptyset(&caught);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (is_left_alone(sig) || sigaction(sig, nullptr, &found[sig]) != 0) continue;
    if (found[sig].sa_handler == SIG_DFL) sigaddset(&caught, sig);
  }
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&caught, sig) != 1) continue;
    if (sig == SIGCONT)
      install(sig, on_continue_signal);
    else
      install(sig, is_stop_signal(sig) ? on_stop_signal : on_ending_signal);
  }
}

void release_signals() {
  for (int sig = 1; sig < NSIG; ++sig)
    if (sigismember(&caught, sig) == 1) sigaction(sig, &found[sig], nullptr);
}

// Runs `change` with the handled signals blocked, so that no handler sees
// `waiting` and the terminal disagree, and none can stop the program halfway.
template <class Change>
void with_signals_blocked(Change change) {
  sigset_t old;
  sigprocmask(SIG_BLOCK, &caught, &old);
  change();
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Reads one key press. A read that ends without a byte (end of file or an
// error: the terminal went away) ends the wait. A key that sends several
// bytes (an arrow key sends ESC [ A) may have them arrive apart over a slow
// link, so after an ESC the rest is read for 100 ms, as editors wait for the
// rest of an escape sequence; ESC alone costs that much delay.
void read_key() {
  constexpr auto escape_time = std::chrono::milliseconds(100);
  constexpr std::size_t longest_key = 32;
  char key[longest_key];
  ssize_t got = 0;
  while ((got = read(STDIN_FILENO, key, sizeof key)) < 0 && errno == EINTR) {
  }
  if (got <= 0 || key[0] != '\033') return;
  const auto deadline = std::chrono::steady_clock::now() + escape_time;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd terminal{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&terminal, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || read(STDIN_FILENO, key, sizeof key) <= 0) return;
  }
}

}  // namespace

void prepare_input() {}

bool is_terminal(std::FILE* stream) {
  const int fd = fileno(stream);
  return fd >= 0 && isatty(fd) != 0;
}

// There is no interpreter "pause" here, so the terminal is put in raw mode:
// non-canonical, no echo, no signal keys, no flow control and no
// implementation-defined input processing, so that any single key, Ctrl-C,
// Ctrl-Z and Ctrl-S included, ends the wait. The key is read from the
// terminal itself, not from the rest of the word's line that the word's read
// left buffered, so the Enter after the word does not end the wait. Input
// that is not a terminal is never waited on, so a pipe or a file ends the
// program at once.
//
// Keys typed ahead are discarded before the hint is written, not after, so a
// key pressed as soon as the hint shows is kept. The hint is written before
// the terminal is touched, since writing it may fail or end the program (a
// closed pipe, a file size limit).
void wait_for_key() {
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) return;
  raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  catch_signals();
  with_signals_blocked([] {
    if (in_foreground()) tcflush(STDIN_FILENO, TCIFLUSH);
  });
  std::fputs(hint, stderr);
  std::fflush(stderr);
  with_signals_blocked([] {
    waiting = 1;
    set_mode(raw);
  });
  read_key();
  // The rest of a key sent as several bytes is dropped with the settings
  // put back, so it does not reach the shell.
  with_signals_blocked([] {
    waiting = 0;
    if (set_mode(saved)) tcflush(STDIN_FILENO, TCIFLUSH);
  });
  release_signals();
  std::fputc('\n', stderr);
}
