#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "key.h"
#include "signals.h"
#include "terminal_modes.h"

// The wait puts the terminal in raw mode, the one change the program makes to
// it, and must put it back however the program ends, and take it again
// however the program goes on. It has the shape that long-lived terminal
// programs use, and lets the kernel decide what only the kernel knows:
//
// - The main line does all the work with the handled signals blocked, and
//   lets them through only while it sleeps, in pselect, so that a signal can
//   only cut a sleep short. The fault signals (SIGSEGV and the like) are the
//   exception: Linux kills a program whose fault signal is blocked.
// - Stop and continue handlers only record the signal; the main line acts
//   on it when its sleep returns, once the signals already pending have been
//   let through, so that a SIGTERM sent with the stop ends the program before
//   the terminal is taken again.
// - An ending signal's handler puts the terminal back, dropping the keys typed
//   ahead as the normal end does, and ends the program by the same signal. A
//   fault that the kernel raised is met so wherever the main line is; one
//   sent by a process waits, blocked, for the next sleep like any other.
// - Where the wait stands is asked of the kernel in one change of the
//   terminal, which it answers atomically: made in the foreground, refused
//   with SIGTTOU to the whole job from the background, failed in an orphaned
//   group or on a hung-up terminal. Refused, the program stops by that
//   SIGTTOU's default action as the rest of its job does, so that `fg`
//   continues them all; where the parent ignored or blocked SIGTTOU, the
//   rest of the job does not stop, so neither does the program: it asks
//   again at each look. It asks at the start, after each continue, and at a
//   wake each second, which also meets the settings a shell put back without
//   a continue to say so.

namespace {

constexpr char hint[] = "Press any key to continue . . . ";

// Recorded by the handlers, acted on by the main line.
volatile std::sig_atomic_t stop_signal = 0;  // a stop not yet acted on, or 0
volatile std::sig_atomic_t continued = 0;

// The terminal the key is read from, open for writing, where the hint
// belongs, wherever standard error goes: standard input itself when it is
// open for reading and writing, else the terminal opened again by name.
// Standard error stands in only when neither can be had.
class hint_screen {
 public:
  hint_screen() {
    const int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) == O_RDWR) {
      fd = STDIN_FILENO;
      return;
    }
    constexpr std::size_t longest_name = 256;
    char name[longest_name] = {};
    if (ttyname_r(STDIN_FILENO, name, sizeof name) != 0) return;
    const int opened = open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (opened >= 0) fd = opened;
  }
  hint_screen(const hint_screen&) = delete;
  hint_screen& operator=(const hint_screen&) = delete;
  ~hint_screen() {
    if (fd != STDIN_FILENO && fd != STDERR_FILENO) close(fd);
  }

  void show(const char* text) const {
    std::size_t left = std::strlen(text);
    while (left > 0) {
      const ssize_t done = write(fd, text, left);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return;
      text += done;
      left -= static_cast<std::size_t>(done);
    }
  }

 private:
  int fd = STDERR_FILENO;
};

// Reached from a handler. Ends the program by sig's default action: sig is
// blocked while its handler runs, so it is raised, then unblocked to be
// delivered.
void end_by_default_action(int sig) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(sig, &default_action, nullptr);
  raise(sig);
  // cppcheck-suppress unreachableCode
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

// The handlers have C linkage, as handlers should, and internal linkage.
extern "C" {

// A fault signal that a process sent (si_code <= 0) while the main line ran
// is held: blocked in the mask the main line goes back to, and raised again,
// it waits for the next sleep, where it is met as any ending signal is. Every
// other ending signal reaches this handler blocked in the interrupted mask:
// in a sleep, or raised by a fault.
static void on_ending_signal(int sig, siginfo_t* info, void* context) {
  auto* interrupted = static_cast<ucontext_t*>(context);
  if (info->si_code <= 0 && sigismember(&interrupted->uc_sigmask, sig) == 0) {
    sigaddset(&interrupted->uc_sigmask, sig);
    raise(sig);
    return;
  }
  leave_raw_mode(true);
  end_by_default_action(sig);
}

static void on_stop_signal(int sig) {
  stop_signal = sig;
}

// As the kernel's SIGCONT drops a stop still pending, this one drops a stop
// recorded and not yet acted on.
static void on_continue_signal([[maybe_unused]] int sig) {
  stop_signal = 0;
  continued = 1;
}

}  // extern "C"

namespace {

using clock = std::chrono::steady_clock;

constexpr std::size_t longest_key = 32;

// How the wait for the key's first bytes ends.
enum class ending {
  key,   // they came
  gone,  // no key can come: the terminal hung up or failed, or the program
         // was left in the background of an orphaned process group
};

// The wait's own state, kept by the main line alone.
struct wait_state {
  const blocked_signals& mask;
  const hint_screen& screen;
  // Where SIGTTOU was at its default and unblocked at start, a change the
  // kernel refuses stops the program, as it stops the rest of its job.
  refusal on_refusal = refusal::noted;
  // The program's parent when the terminal was last asked from the
  // background, where the refusal is only noted.
  pid_t parent = getppid();
  // Raw mode as the terminal last held it.
  termios raw{};
  bool hint_due = false;
  // The last look was refused: the terminal is another's, and is not read.
  // Back in the foreground the hint is shown again, since the shell has
  // written there meanwhile.
  bool in_background = false;
};

// Whether the program's group has the terminal in the foreground, or the
// terminal is not its controlling terminal.
bool in_foreground() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group == getpgrp() || (group < 0 && errno == ENOTTY);
}

// Sleeps until the terminal has input (in the foreground), `timeout` passes or
// a signal comes, letting the handled signals through in the same call.
// Returns pselect's result.
int sleep_for(const wait_state& w, const timespec& timeout) {
  fd_set input;
  FD_ZERO(&input);
  if (!w.in_background) FD_SET(STDIN_FILENO, &input);
  const int watched = w.in_background ? 0 : STDIN_FILENO + 1;
  return pselect(watched, &input, nullptr, nullptr, &timeout, &w.mask.while_sleeping());
}

// Lets through the signals already pending, one each pass, since a handler
// that runs blocks the others again.
void meet_pending_signals(const wait_state& w) {
  const timespec no_time{0, 0};
  while (pselect(0, nullptr, nullptr, nullptr, &no_time, &w.mask.while_sleeping()) < 0 &&
         errno == EINTR) {
  }
}

// Whether sig waits, blocked, to be delivered.
bool pending(int sig) {
  sigset_t set;
  return sigpending(&set) == 0 && sigismember(&set, sig) == 1;
}

// Stops the program by sig's default action and returns whether it stopped;
// the kernel discards the stop in an orphaned process group. SIGCONT is let
// through with sig, so that the continue is recorded as it ends the stop;
// where the parent blocked SIGCONT, the kernel's record of it pending tells
// instead, and the continue is recorded here.
bool stop_by_default_action(int sig, const wait_state& w) {
  continued = 0;
  struct sigaction default_action {};
  struct sigaction own {};
  default_action.sa_handler = SIG_DFL;
  sigaction(sig, &default_action, &own);
  raise(sig);
  // cppcheck-suppress unreachableCode
  sigset_t through;
  sigemptyset(&through);
  sigaddset(&through, sig);
  const bool cont_blocked = w.mask.blocked_at_start(SIGCONT);
  const bool cont_was_pending = cont_blocked && pending(SIGCONT);
  if (!cont_blocked) sigaddset(&through, SIGCONT);
  sigprocmask(SIG_UNBLOCK, &through, nullptr);
  sigprocmask(SIG_BLOCK, &through, nullptr);
  sigaction(sig, &own, nullptr);
  if (cont_blocked && !cont_was_pending && pending(SIGCONT)) continued = 1;
  return continued != 0;
}

// Takes the stop a handler recorded: puts the terminal back and stops by the
// stop's default action, returning whether the program stopped. Keys typed
// and not yet taken, a line begun under a line-mode lock, are the wait's:
// dropped, not left for the shell.
bool take_the_recorded_stop(const wait_state& w) {
  const int sig = stop_signal;
  stop_signal = 0;
  leave_raw_mode(true);
  return stop_by_default_action(sig, w);
}

// Asks the kernel where the wait stands, by one change of the terminal, and
// takes the terminal where a shell has had it: returns whether a key can
// still come.
//
// Settings other than the raw mode the terminal last held are a shell's if
// they are canonical while that raw mode is not (a shell put its own back at
// a stop, or `stty sane` was typed elsewhere): they are kept as the ones to
// put back, raw mode is entered from them, and the hint is shown again.
// Non-canonical ones are the wait's own mode as another program changed it,
// and are left as they are: never kept to put back. Either way the change
// is made, of raw mode or of the settings already in place, and the kernel
// answers.
//
// Where the refusal is only noted, the kernel's SIGTTOU would still stop
// the other members of the job, which may take it at its default (`(trap ''
// TTOU; exec avoidrec) | cat`): so from the background the change is
// attempted only once the program's parent has changed, as it does when the
// group may have been orphaned, where the kernel fails the change without a
// signal. Where the refusal stops the program, the change is answered
// refused once a continue ends the stop.
bool look(wait_state& w) {
  termios now{};
  if (tcgetattr(STDIN_FILENO, &now) != 0) return false;
  if (w.on_refusal == refusal::noted && !in_foreground() && getppid() == w.parent) {
    w.in_background = true;
    return true;
  }
  w.parent = getppid();
  const bool a_shells = !raw_may_be_in_place() || (canonical(now) && !canonical(w.raw));
  answer a = answer::failed;
  // Interrupted otherwise than by a continue, the change is made again.
  do {
    a = a_shells ? enter_raw_mode(now, w.raw, w.on_refusal)
                 : change_settings(now, false, w.on_refusal);
  } while (a == answer::refused && w.on_refusal == refusal::stops && continued == 0);
  // Back from the background, the shell has written to the terminal.
  if (a == answer::made && (a_shells || w.in_background)) w.hint_due = true;
  w.in_background = a == answer::refused;
  return a != answer::failed;
}

// Acts on the stops and continues the handlers recorded, once the signals
// already pending have been let through. A stop puts the terminal back and
// stops; a continue brings a look. Returns whether a key can still come.
bool act_on_signals(wait_state& w) {
  while (stop_signal != 0 || continued != 0) {
    meet_pending_signals(w);
    if (stop_signal != 0) {
      if (take_the_recorded_stop(w)) continue;
      // Discarded in an orphaned group: the terminal is taken again as if
      // nothing had happened, and the look tells whether that can be.
      const bool hint_due = w.hint_due;
      if (!look(w)) return false;
      w.hint_due = hint_due;
      continue;
    }
    continued = 0;
    if (!look(w)) return false;
  }
  return true;
}

// Waits for the first bytes of a key, through stops and continues, and shows
// the hint whenever it is due.
ending first_bytes(wait_state& w, unsigned char* key, std::size_t& got) {
  const timespec a_second{1, 0};
  for (;;) {
    if (!act_on_signals(w)) return ending::gone;
    if (w.hint_due) w.screen.show(hint);
    w.hint_due = false;
    const int ready = sleep_for(w, a_second);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ending::gone;
    if (ready == 0) {
      if (!look(w)) return ending::gone;
      continue;
    }
    const ssize_t done = read(STDIN_FILENO, key, longest_key);
    if (done > 0) {
      got = static_cast<std::size_t>(done);
      return ending::key;
    }
    if (done == 0) return ending::gone;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    // EIO: read from the background, where the program came between the
    // sleep and the read, or from a terminal hung up.
    if (errno != EIO || !look(w) || !w.in_background) return ending::gone;
  }
}

// Takes the rest of a key whose bytes arrive apart over a slow link, each
// within 100 ms of the one before, as editors wait for the rest of an escape
// sequence: after ESC whatever comes so, after a UTF-8 lead byte the bytes it
// announces; a second at most in all, so that a key held down after ESC does
// not keep the wait. A stop ends it: the key is taken, so after `fg` the
// program just ends. A hang-up makes the terminal readable, and the read
// that follows ends it. Whatever else arrives is dropped with the settings
// put back.
void rest_of_key(wait_state& w, unsigned char* key, std::size_t got) {
  constexpr auto escape_time = std::chrono::milliseconds(100);
  const auto last = clock::now() + std::chrono::seconds(1);
  auto deadline = clock::now() + escape_time;
  for (key_rest rest = rest_of(key, got); rest.until_the_time_is_up || rest.left > 0;) {
    const auto time_left = std::chrono::ceil<std::chrono::nanoseconds>(deadline - clock::now());
    if (time_left.count() <= 0) return;
    const timespec timeout{0, static_cast<long>(time_left.count())};
    const int ready = sleep_for(w, timeout);
    if (ready == 0) return;
    if (ready < 0) {
      if (errno != EINTR) return;
      continued = 0;
      if (stop_signal != 0) {
        take_the_recorded_stop(w);
        return;
      }
      continue;
    }
    unsigned char more[longest_key];
    const ssize_t done =
        read(STDIN_FILENO, more, rest.until_the_time_is_up ? sizeof more : rest.left);
    if (done < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (done <= 0) return;
    const auto taken = static_cast<std::size_t>(done);
    const std::size_t kept = got + taken <= longest_key ? taken : longest_key - got;
    std::memcpy(key + got, more, kept);
    got += kept;
    rest = rest_of(key, got);
    deadline = std::min(clock::now() + escape_time, last);
  }
}

}  // namespace

void prepare_input() {}

bool is_terminal(std::FILE* stream) {
  const int fd = fileno(stream);
  return fd >= 0 && isatty(fd) != 0;
}

// There is no interpreter "pause" here, so the terminal is put in raw mode.
// The key is read from the terminal itself, not from the rest of the word's
// line that the word's read left buffered, so the Enter after the word does
// not end the wait. Input that is not a terminal is never waited on, so a
// pipe or a file ends the program at once.
//
// Keys typed ahead are dropped as raw mode is entered, before the hint is
// shown, so a key pressed as soon as the hint shows is kept. Whatever is
// left of a key, or typed after it, is dropped with the settings put back, so
// it does not reach the shell. Nothing is written from the background: the
// line break after the key only where the program has the terminal, as
// looked at just before it is written.
void wait_for_key() {
  if (isatty(STDIN_FILENO) == 0) return;
  const hint_screen screen;
  const sigset_t caught = signals_to_catch();
  // Blocked before the handlers come and unblocked after they have gone, so
  // that a signal held back meets its own disposition, with the terminal as
  // found.
  const blocked_signals mask(caught);
  const signal_guard signals(caught, {on_ending_signal, on_stop_signal, on_continue_signal});
  wait_state w{mask, screen};
  if (sigismember(&caught, SIGTTOU) == 1 && !mask.blocked_at_start(SIGTTOU))
    w.on_refusal = mask.blocked_at_start(SIGCONT) ? refusal::stops_until_made : refusal::stops;
  unsigned char key[longest_key];
  std::size_t got = 0;
  const ending how = look(w) ? first_bytes(w, key, got) : ending::gone;
  if (how == ending::key) rest_of_key(w, key, got);
  if (leave_raw_mode(true) != answer::made) return;
  if (in_foreground()) screen.show("\n");
}
