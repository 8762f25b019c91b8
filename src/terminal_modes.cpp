#include "terminal_modes.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace {

// The settings to put back, kept twice: the main line writes the copy that
// is not in use and then switches to it, so that a handler, which may run at
// any point of the main line, never reads a copy half-written.
termios kept[2];
volatile std::sig_atomic_t kept_in = 0;

volatile std::sig_atomic_t raw_marked = 0;

// SIGTTOU came while a change was attempted.
volatile std::sig_atomic_t ttou_came = 0;

void keep_to_put_back(const termios& mode) {
  const int other = 1 - kept_in;
  kept[other] = mode;
  std::atomic_signal_fence(std::memory_order_release);
  kept_in = other;
}

}  // namespace

extern "C" {
static void note_ttou([[maybe_unused]] int sig) {
  ttou_came = 1;
}
}

bool canonical(const termios& mode) {
  return (mode.c_lflag & ICANON) != 0;
}

// Non-canonical, no echo, no signal keys and no implementation-defined input
// processing, and in c_iflag nothing that drops or rewrites a byte (breaks,
// parity marks, stripping, CR and NL mapping, flow control, case), so that
// any single key, Ctrl-C, Ctrl-Z, Ctrl-S and Enter under `stty igncr`
// included, ends the wait. A read takes what has come, at least one byte:
// the wait reads only once pselect has found input. (VMIN 0 would let a read
// never block, but a shell left in this mode by a SIGSTOP that it does not
// undo, as dash, would read an end of input and exit.) The line's framing
// (c_cflag) and output processing (c_oflag) are not the wait's to change.
termios raw_from(const termios& mode) {
  termios made = mode;
  made.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  made.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
#ifdef IUCLC
  made.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
  made.c_cc[VMIN] = 1;
  made.c_cc[VTIME] = 0;
  return made;
}

// From a background process group the kernel fails tcsetattr and sends
// SIGTTOU to the group, but only to a caller that neither blocks nor ignores
// SIGTTOU: so it is unblocked for the call, and either caught by a handler
// that notes it or left to its default action, as `on_refusal` says. A call
// interrupted otherwise (a fault signal sent to the program, which the main
// line does not block) is made again, but where the continue after a stop
// ends it. A SIGTTOU from elsewhere that comes while the change is made is
// raised again once the caller's own disposition is back, to be met as it
// would have been.
answer change_settings(const termios& mode, bool dropping_typed_ahead, refusal on_refusal) {
  struct sigaction during {};
  struct sigaction outside {};
  during.sa_handler = on_refusal == refusal::noted ? note_ttou : SIG_DFL;
  sigfillset(&during.sa_mask);
  sigset_t through;
  sigset_t before;
  sigemptyset(&through);
  sigaddset(&through, SIGTTOU);
  if (on_refusal == refusal::stops) sigaddset(&through, SIGCONT);
  // One the parent left pending, blocked, is taken by the note too, and is
  // raised again for the parent's sake.
  sigset_t pending;
  const bool was_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGTTOU) == 1;
  ttou_came = 0;
  sigaction(SIGTTOU, &during, &outside);
  sigprocmask(SIG_UNBLOCK, &through, &before);
  const int when = dropping_typed_ahead ? TCSAFLUSH : TCSANOW;
  int done = 0;
  const bool interruptible = on_refusal == refusal::stops;
  while ((done = tcsetattr(STDIN_FILENO, when, &mode)) != 0 && errno == EINTR && ttou_came == 0 &&
         !interruptible) {
  }
  const int error = errno;
  // Blocked again only where they were: SIG_SETMASK with the C library's
  // set would unblock the reserved numbers that the wait holds.
  for (const int sig : {SIGTTOU, SIGCONT}) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    if (sigismember(&through, sig) == 1 && sigismember(&before, sig) == 1)
      sigprocmask(SIG_BLOCK, &one, nullptr);
  }
  sigaction(SIGTTOU, &outside, nullptr);
  if (was_pending || (done == 0 && ttou_came != 0)) raise(SIGTTOU);
  errno = error;
  if (done == 0) return answer::made;
  const bool interrupted = interruptible && error == EINTR;
  return ttou_came != 0 || interrupted ? answer::refused : answer::failed;
}

namespace {

// Whether the terminal keeps line mode locked, as the kernel tells; where the
// system has no such lock, it is not.
bool line_mode_locked() {
#ifdef TIOCGLCKTRMIOS
  termios locked{};
  return ioctl(STDIN_FILENO, TIOCGLCKTRMIOS, &locked) == 0 && canonical(locked);
#else
  return false;
#endif
}

}  // namespace

// Raw mode is read back as the terminal holds it, a locked setting included.
// Line mode read back where no lock keeps it is a shell's, put back at a
// SIGSTOP that came between the change and the read: the raw mode asked for
// stands for what the terminal held, so that the next look takes the
// terminal again.
answer enter_raw_mode(const termios& found, termios& held, refusal on_refusal) {
  keep_to_put_back(found);
  termios wanted = raw_from(found);
  const bool locked = line_mode_locked();
  // Where the system has no such lock, it is never found.
  // cppcheck-suppress knownConditionTrueFalse
  if (locked) wanted.c_iflag = found.c_iflag;
  raw_marked = 1;
  const answer a = change_settings(wanted, true, on_refusal);
  if (a != answer::made) {
    raw_marked = 0;
    return a;
  }
  // cppcheck-suppress knownConditionTrueFalse
  if (tcgetattr(STDIN_FILENO, &held) != 0 || (canonical(held) && !locked)) held = wanted;
  return answer::made;
}

bool raw_may_be_in_place() {
  return raw_marked != 0;
}

answer leave_raw_mode(bool dropping_typed_ahead) {
  if (raw_marked == 0) return answer::made;
  const int in_use = kept_in;
  std::atomic_signal_fence(std::memory_order_acquire);
  const answer a = change_settings(kept[in_use], dropping_typed_ahead);
  if (a == answer::made) raw_marked = 0;
  return a;
}
