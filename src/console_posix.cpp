#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <iterator>

#include "console.h"

namespace {

constexpr char hint[] = "Press any key to continue . . . ";

// The terminal's settings as found, and the ones used while waiting. Both
// are set before the signal handlers that read them are installed.
termios saved;
termios raw;

// The signals handled while waiting: those whose default action ends the
// program, and SIGTSTP, which stops it. The dispositions found are kept here
// and put back afterwards.
constexpr int handled[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGALRM,   SIGTERM, SIGUSR1, SIGUSR2,
                           SIGPIPE, SIGXFSZ, SIGXCPU, SIGVTALRM, SIGPROF, SIGTSTP};
struct sigaction found[std::size(handled)];

void set_handler(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// Takes the default action of sig now: ends or stops the program. sig is
// blocked while its handler runs, so it is unblocked after being raised.
void take_default_action(int sig) {
  set_handler(sig, SIG_DFL);
  raise(sig);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Puts the terminal back, then ends the program by the same signal, so that
// its parent sees the usual status. Only async-signal-safe calls.
extern "C" void on_ending_signal(int sig) {
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  take_default_action(sig);
}

// Job control, as full-screen programs do it: the terminal is put back
// before the program stops, and taken again, with the hint shown anew, when
// it is continued. Only async-signal-safe calls.
extern "C" void on_stop_signal(int sig) {
  const int saved_errno = errno;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  take_default_action(sig);
  // Continued.
  set_handler(sig, on_stop_signal);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
  const ssize_t ignored = write(STDERR_FILENO, hint, sizeof hint - 1);
  static_cast<void>(ignored);
  errno = saved_errno;
}

// Signals that were ignored when the program started (SIGHUP under nohup,
// say) stay ignored.
void catch_signals() {
  for (std::size_t k = 0; k < std::size(handled); ++k) {
    sigaction(handled[k], nullptr, &found[k]);
    if (found[k].sa_handler == SIG_IGN) continue;
    set_handler(handled[k], handled[k] == SIGTSTP ? on_stop_signal : on_ending_signal);
  }
}

void release_signals() {
  for (std::size_t k = 0; k < std::size(handled); ++k) sigaction(handled[k], &found[k], nullptr);
}

// Reads one key press. A key that sends several bytes (an arrow key sends
// ESC [ A) sends them together, so one read takes all of them; the flush
// when the settings are put back drops any left. A read that ends without a
// byte (end of file or an error: the terminal went away) ends the wait.
void read_key() {
  char key[32];
  while (read(STDIN_FILENO, key, sizeof key) < 0 && errno == EINTR) {
  }
}

}  // namespace

void prepare_input() {}

bool is_terminal(std::FILE* stream) {
  const int fd = fileno(stream);
  return fd >= 0 && isatty(fd) != 0;
}

// There is no interpreter "pause" here, so the terminal is put in
// non-canonical mode with echo and signal keys off: any single key, Ctrl-C
// included, ends the wait. Keys typed ahead are discarded first, and the key
// is read from the terminal itself, not from the rest of the word's line
// that the word's read left buffered, so the Enter after the word does not
// end the wait. Input that is not a terminal is never waited on, so a pipe
// or a file ends the program at once.
//
// The terminal is left as it was found however the program ends: the hint
// is written before the terminal is touched, since writing it may fail or
// end the program (a closed pipe, a file size limit), and a signal that ends
// or stops the program during the wait puts the settings back first.
void wait_for_key() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return;
  std::fputs(hint, stderr);
  std::fflush(stderr);
  raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  catch_signals();
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0) {
    read_key();
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  }
  release_signals();
  std::fputc('\n', stderr);
}
