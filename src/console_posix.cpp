#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "console.h"
#include "key.h"
#include "process_group.h"
#include "signals.h"
#include "terminal_modes.h"

// The wait puts the terminal in raw mode, the one change the program makes to
// it, and must put it back however the program ends (but for SIGKILL, which
// no program meets), and take it again however the program goes on. It has
// the shape that long-lived terminal programs use, and lets the kernel decide
// what only the kernel knows; doc/key-wait.md tells the whole design.
//
// - The main line does all the work with the handled signals blocked, and
//   lets them through only while it sleeps, in pselect, so that a signal can
//   only cut a sleep short. The fault signals (SIGSEGV and the like) are the
//   exception: Linux kills a program whose fault signal is blocked.
// - Stop and continue handlers only record the signal; the main line acts
//   on it when its sleep returns, once the signals already pending have been
//   let through, so that a SIGTERM sent with the stop ends the program before
//   the terminal is taken again.
// - An ending signal's handler puts the terminal back and ends the program by
//   the same signal; it never draws SIGTTOU (terminal_modes.h).
// - A look asks the kernel where the wait stands by a change of the terminal,
//   which it answers atomically: made in the foreground, refused with
//   SIGTTOU to the whole job from the background, failed (EIO) in an
//   orphaned group or on a hung-up terminal. Refused, the program stops by
//   that SIGTTOU's default action as the rest of its job does, so that `fg`
//   continues them all. Where the parent ignored or blocked SIGTTOU, the
//   rest of the job would not stop, but its members that take SIGTTOU would:
//   so from the background nothing is asked until the group may be orphaned
//   (process_group.h), where the kernel fails the change without a signal.
//   A look comes at the start, after each continue, and at a wake each
//   second, which also meets the settings a shell put back without a
//   continue to say so, and a group orphaned while the program ran.
// - After the key a look puts the settings back instead, by the same rules;
//   from the background, where the shell has put its own back, there is
//   nothing left to do.
// - Failed in an orphaned group, a change is made once more without asking,
//   to put back the settings found, but only where the terminal still holds
//   the wait's raw mode: the shell has gone on without the program.

namespace {

constexpr char hint[] = "Press any key to continue . . . ";

// Recorded by the handlers, acted on by the main line.
volatile std::sig_atomic_t stop_signal = 0;  // a stop not yet acted on, or 0
volatile std::sig_atomic_t continued = 0;

// The terminal as the wait uses it. The hint is written where the key is
// read, wherever standard error goes: to standard input itself when it is
// open for reading and writing, else to the terminal opened again by name;
// standard error stands in only when neither can be had. The key is read from
// a descriptor of the wait's own, open without blocking, so that a byte that
// another reader took between the sleep and the read sends the wait back to
// its sleep, with the signals let through, instead of holding it in a read;
// standard input's open file, which the shell shares, is never made
// non-blocking. Where the terminal cannot be opened again (no such device in
// a container, no permission after su, TIOCEXCL), standard input is read as
// it is.
class terminal {
 public:
  terminal() {
    constexpr std::size_t longest_name = 256;
    char name[longest_name] = {};
    const bool named = ttyname_r(STDIN_FILENO, name, sizeof name) == 0;
    const int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) == O_RDWR) {
      screen = STDIN_FILENO;
    } else if (named) {
      const int opened = open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (opened >= 0) screen = opened;
    }
    if (!named) return;
    const int opened = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat own {};
    struct stat standard {};
    if (opened >= 0 && fstat(opened, &own) == 0 && fstat(STDIN_FILENO, &standard) == 0 &&
        own.st_rdev == standard.st_rdev) {
      keys = opened;
    } else if (opened >= 0) {
      close(opened);
    }
  }
  terminal(const terminal&) = delete;
  terminal& operator=(const terminal&) = delete;
  ~terminal() {
    for (const int fd : {screen, keys})
      if (fd != STDIN_FILENO && fd != STDERR_FILENO) close(fd);
  }

  void show(const char* text) const {
    std::size_t left = std::strlen(text);
    while (left > 0) {
      const ssize_t done = write(screen, text, left);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return;
      text += done;
      left -= static_cast<std::size_t>(done);
    }
  }

  // Reads what has come of a key: a positive count, 0 at an end of input,
  // or -1 with errno (EAGAIN: nothing there).
  ssize_t read_key(unsigned char* bytes, std::size_t size) const { return read(keys, bytes, size); }

  int input() const { return keys; }

 private:
  int screen = STDERR_FILENO;
  int keys = STDIN_FILENO;
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

// Reaches the main line in a sleep, or wherever it is for a fault signal,
// raised by a fault or sent: either way the terminal is put back first.
static void on_ending_signal(int sig) {
  put_back_quietly();
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

// What a look found.
enum class view {
  waiting,  // the wait goes on as it was
  retaken,  // raw mode entered from a shell's settings, or made again back
            // from the background, where the shell has written meanwhile
  over,     // the settings are put back, or no key can come
};

// The wait's own state, kept by the main line alone.
struct wait_state {
  const blocked_signals& mask;
  const terminal& tty;
  // Where SIGTTOU was at its default and unblocked at start, a change the
  // kernel refuses stops the program, as it stops the rest of its job.
  refusal on_refusal = refusal::noted;
  const pid_t parent = getppid();
  // The key has come: a look puts the settings back.
  bool key_taken = false;
  bool put_back = false;
  // Shown once the program has the terminal.
  bool hint_due = false;
  // The last look found the terminal another's: it is not read.
  bool in_background = false;
};

// Sleeps until the terminal has input (in the foreground), `timeout` passes or
// a signal comes, letting the handled signals through in the same call.
// Returns pselect's result.
int sleep_for(const wait_state& w, const timespec& timeout) {
  fd_set input;
  FD_ZERO(&input);
  const int fd = w.tty.input();
  if (!w.in_background) FD_SET(fd, &input);
  const int watched = w.in_background ? 0 : fd + 1;
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
  put_back_quietly();
  return stop_by_default_action(sig, w);
}

// The change a look makes, which the kernel answers. Before the key: raw mode
// entered from the settings found where they are a shell's, else the
// settings already in place made again. Settings are a shell's at the first
// look, whatever they are, and after it where they are canonical while the
// raw mode last held is not (a shell put its own back at a stop, or `stty
// sane` was typed elsewhere): raw mode is entered from them, and once it is
// made they are kept as the ones to put back. Refused, the ones kept before
// stay: settings found from the background may be a shell's own derived from
// the wait's raw mode (fish takes the modes it finds at a stop as the base
// of those it gives its commands). Non-canonical ones are the wait's own
// mode as the shell saved it at a stop and put it back at `fg`, or as
// another program changed it, and are never kept to put back. After the
// key: the settings kept put back.
//
// Where a refusal stops the program, one that comes otherwise than with a
// continue (the call was interrupted, or a SIGTTOU was pending) is met by
// letting the pending signals through, and the change is made again unless
// a stop is then recorded, which the caller takes first.
answer ask(const wait_state& w, const termios& now, bool& adopted) {
  for (;;) {
    answer a = answer::failed;
    if (w.key_taken) {
      a = leave_raw_mode(w.on_refusal);
    } else {
      adopted = !keeps_settings() || (canonical(now) && !held_raw_mode_is_canonical());
      a = adopted ? enter_raw_mode(now, w.on_refusal) : change_settings(now, false, w.on_refusal);
    }
    if (a != answer::refused || w.on_refusal == refusal::noted || continued != 0) return a;
    meet_pending_signals(w);
    if (stop_signal != 0 || continued != 0) return a;
  }
}

// Asks the kernel where the wait stands, by the change the wait wants now.
// From the background it asks nothing where the shell has put its own
// settings back after the key, nor, where the refusal is only noted, until
// the group may be orphaned.
view look(wait_state& w) {
  termios now{};
  if (tcgetattr(STDIN_FILENO, &now) != 0) return view::over;
  if (!in_foreground()) {
    if (w.key_taken && !holds_raw_mode(now)) return view::over;
    if (w.on_refusal == refusal::noted && !group_may_be_orphaned(w.parent)) {
      w.in_background = true;
      return view::waiting;
    }
  }
  bool adopted = false;
  const answer a = ask(w, now, adopted);
  if (a == answer::failed) {
    put_back_quietly();
    return view::over;
  }
  const bool was_in_background = w.in_background;
  w.in_background = a == answer::refused;
  if (a == answer::refused) return view::waiting;
  if (w.key_taken) {
    w.put_back = true;
    return view::over;
  }
  return adopted || was_in_background ? view::retaken : view::waiting;
}

// Looks, and shows the hint again where the terminal was retaken. Returns
// whether the wait goes on.
bool look_again(wait_state& w) {
  const view v = look(w);
  if (v == view::retaken) w.hint_due = true;
  return v != view::over;
}

// Acts on the stops and continues the handlers recorded, once the signals
// already pending have been let through. A stop puts the terminal back and
// stops; a continue brings a look. Returns whether the wait goes on.
bool act_on_signals(wait_state& w) {
  while (stop_signal != 0 || continued != 0) {
    meet_pending_signals(w);
    if (stop_signal != 0) {
      if (take_the_recorded_stop(w)) continue;
      // Discarded in an orphaned group: the terminal is taken again, and the
      // look tells whether that can be. Nothing was written: no hint.
      if (look(w) == view::over) return false;
      continue;
    }
    continued = 0;
    if (!look_again(w)) return false;
  }
  return true;
}

// The hint waits for the program to have the terminal.
void show_the_hint_if_due(wait_state& w) {
  if (!w.hint_due || w.in_background) return;
  w.tty.show(hint);
  w.hint_due = false;
}

// Waits for the first bytes of a key, through stops and continues, and shows
// the hint whenever it is due.
ending first_bytes(wait_state& w, unsigned char* key, std::size_t& got) {
  const timespec a_second{1, 0};
  for (;;) {
    if (!act_on_signals(w)) return ending::gone;
    show_the_hint_if_due(w);
    const int ready = sleep_for(w, a_second);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ending::gone;
    if (ready == 0) {
      if (!look_again(w)) return ending::gone;
      continue;
    }
    const ssize_t done = w.tty.read_key(key, longest_key);
    if (done > 0) {
      got = static_cast<std::size_t>(done);
      return ending::key;
    }
    if (done == 0) return ending::gone;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    // EIO: read from the background, where the program came between the
    // sleep and the read, or from a terminal hung up.
    if (errno != EIO || !look_again(w) || !w.in_background) return ending::gone;
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
    const ssize_t done = w.tty.read_key(more, rest.until_the_time_is_up ? sizeof more : rest.left);
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

// Once the key has come, puts the settings back, through stops and
// continues: in the background, stopped with the job until `fg`, or, where
// the refusal is only noted, asleep until the program has the terminal or
// its group may be orphaned. Returns whether they were put back.
bool finish(wait_state& w) {
  w.key_taken = true;
  const timespec a_second{1, 0};
  for (view v = look(w); v != view::over;) {
    if (!act_on_signals(w)) break;
    const int ready = sleep_for(w, a_second);
    if (ready == 0) v = look(w);
  }
  return w.put_back;
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
  const terminal tty;
  const sigset_t caught = signals_to_catch();
  // Blocked before the handlers come and unblocked after they have gone, so
  // that a signal held back meets its own disposition, with the terminal as
  // found.
  const blocked_signals mask(caught);
  const signal_guard signals(caught, {on_ending_signal, on_stop_signal, on_continue_signal});
  wait_state w{mask, tty};
  if (sigismember(&caught, SIGTTOU) == 1 && !mask.blocked_at_start(SIGTTOU))
    w.on_refusal = mask.blocked_at_start(SIGCONT) ? refusal::stops_until_made : refusal::stops;
  unsigned char key[longest_key];
  std::size_t got = 0;
  w.hint_due = true;
  if (look(w) != view::over && first_bytes(w, key, got) == ending::key) rest_of_key(w, key, got);
  if (finish(w) && in_foreground()) tty.show("\n");
}
