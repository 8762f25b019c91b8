#include "terminal_modes.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <initializer_list>

#include "signals.h"

namespace {

// The settings to put back, and raw mode as the terminal held it once
// entered. `known` says which of them a handler, which may run at any point
// of the main line, may read: the main line lowers it before it writes one
// and raises it after, with a signal fence on each side, since volatile
// orders only volatile accesses.
termios kept{};
termios held{};
enum : int { nothing, kept_only, kept_and_held };
volatile std::sig_atomic_t known = nothing;

// SIGTTOU came while a change was attempted.
volatile std::sig_atomic_t ttou_came = 0;

void make_known(int level) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  known = level;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Field by field: the bytes between the fields are nobody's.
bool same(const termios& a, const termios& b) {
  for (int i = 0; i < NCCS; ++i)
    if (a.c_cc[i] != b.c_cc[i]) return false;
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

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
  sigset_t ttou;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  // One the parent left pending, blocked, is taken out of the way while the
  // kernel is asked, and raised again for the parent's sake; one that would
  // stop the wait is for the caller to meet before anything is asked.
  const bool parents = pending(SIGTTOU);
  if (parents && on_refusal != refusal::noted) return answer::refused;
  const timespec no_time{0, 0};
  if (parents) sigtimedwait(&ttou, nullptr, &no_time);
  struct sigaction during {};
  struct sigaction outside {};
  during.sa_handler = on_refusal == refusal::noted ? note_ttou : SIG_DFL;
  sigfillset(&during.sa_mask);
  sigset_t through = ttou;
  sigset_t before;
  if (on_refusal == refusal::stops) sigaddset(&through, SIGCONT);
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
  sigset_t again;
  sigemptyset(&again);
  for (const int sig : {SIGTTOU, SIGCONT})
    if (sigismember(&through, sig) == 1 && sigismember(&before, sig) == 1) sigaddset(&again, sig);
  sigprocmask(SIG_BLOCK, &again, nullptr);
  sigaction(SIGTTOU, &outside, nullptr);
  if (parents || (done == 0 && ttou_came != 0)) raise(SIGTTOU);
  errno = error;
  if (done == 0) return answer::made;
  const bool interrupted = interruptible && error == EINTR;
  return ttou_came != 0 || interrupted ? answer::refused : answer::failed;
}

namespace {

// Keeps `mode` as the settings to put back, hidden from a handler while it
// is written.
void keep(const termios& mode) {
  const int level = known == kept_and_held ? kept_and_held : kept_only;
  make_known(nothing);
  kept = mode;
  make_known(level);
}

}  // namespace

// Raw mode is read back as the terminal holds it, a locked setting included.
// Line mode read back where no lock keeps it is a shell's, put back at a
// SIGSTOP that came between the change and the read: the raw mode asked for
// stands for what the terminal held, so that the next look takes the
// terminal again.
answer enter_raw_mode(const termios& found, refusal on_refusal) {
  const bool first = known == nothing;
  const termios before = kept;
  keep(found);
  termios wanted = raw_from(found);
  const bool locked = line_mode_locked();
  // Where the system has no such lock, it is never found.
  // cppcheck-suppress knownConditionTrueFalse
  if (locked) wanted.c_iflag = found.c_iflag;
  const answer a = change_settings(wanted, true, on_refusal);
  if (a != answer::made) {
    if (!first) keep(before);
    return a;
  }
  termios read_back{};
  // cppcheck-suppress knownConditionTrueFalse
  if (tcgetattr(STDIN_FILENO, &read_back) != 0 || (canonical(read_back) && !locked))
    read_back = wanted;
  make_known(kept_only);
  held = read_back;
  make_known(kept_and_held);
  return a;
}

bool in_foreground() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group == getpgrp() || (group < 0 && errno == ENOTTY);
}

bool keeps_settings() {
  return known != nothing;
}

bool held_raw_mode_is_canonical() {
  return known == kept_and_held && canonical(held);
}

bool holds_raw_mode(const termios& now) {
  return known == kept_and_held && same(now, held);
}

answer leave_raw_mode(refusal on_refusal) {
  if (known == nothing) return answer::made;
  const answer a = change_settings(kept, true, on_refusal);
  if (a == answer::made) make_known(nothing);
  return a;
}

// With SIGTTOU blocked the kernel makes a change from the background too,
// and signals no one: so whether the terminal is the program's is looked at
// first, and a change left to where it is. What remains is the moment
// between the look and the change: a shell that takes the terminal then, or
// another program that sets a byte-identical raw mode then, has its settings
// replaced by those found at the start.
void put_back_quietly() {
  if (known == nothing) return;
  const int saved_errno = errno;
  const bool foreground = in_foreground();
  termios now{};
  if (foreground ||
      (known == kept_and_held && tcgetattr(STDIN_FILENO, &now) == 0 && same(now, held))) {
    sigset_t ttou;
    sigset_t before;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &before);
    while (tcsetattr(STDIN_FILENO, foreground ? TCSAFLUSH : TCSANOW, &kept) != 0 &&
           errno == EINTR) {
    }
    // Not SIG_SETMASK, which would unblock the reserved numbers.
    if (sigismember(&before, SIGTTOU) == 0) sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
  }
  errno = saved_errno;
}
