#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "process_group.h"
#include "signals.h"

// The wait puts the terminal in raw mode, the one change the program makes to
// it, and must put it back however the program ends, and take it again
// however the program goes on. It has the shape that long-lived terminal
// programs use:
//
// - The main line does all the work, with every handled signal blocked. It
//   lets them through only while it sleeps, in pselect or in a read from the
//   background, so that a signal can only cut a sleep short.
// - Stops and continues are only recorded by their handlers; the main line
//   acts on them when its sleep returns, in ordinary code.
// - An ending signal's handler puts the terminal back itself and ends the
//   program by the same signal: it cannot return to let the main line act,
//   since for a fault (SIGSEGV and the like) it would return into the fault.
//   What it can reach is marked "reached from a handler" and does only
//   async-signal-safe things.
// - Whether the terminal is the program's to change is never checked before
//   the change. The change is attempted, and the kernel decides in the same
//   call: it refuses tcsetattr from a background process group by sending
//   SIGTTOU, and in an orphaned process group it fails the call with EIO.

namespace {

// ---- State shared with the handlers --------------------------------------

constexpr char hint[] = "Press any key to continue . . . ";

// What the terminal holds, as the ending handlers need to know it.
enum terminal_state : int {
  as_found,  // the settings it was found with: nothing to put back
  in_raw,    // the wait's raw mode, or it may be: the settings are to be put back
};
volatile std::sig_atomic_t terminal = as_found;

// A stop signal recorded by its handler and not yet acted on, or 0.
volatile std::sig_atomic_t stop_signal = 0;
// A SIGCONT recorded by its handler and not yet acted on.
volatile std::sig_atomic_t continued = 0;
// The order the last stop and the last continue came in: each handler takes
// the next number, so a continue that came after the stop it would end is
// seen as such. The handlers block each other, so the count stays whole.
volatile std::sig_atomic_t signals_seen = 0;
volatile std::sig_atomic_t stop_seen = 0;
volatile std::sig_atomic_t continue_seen = 0;
// SIGTTOU came while a change of the terminal was attempted.
volatile std::sig_atomic_t ttou_came = 0;

// The settings to put back, and raw mode, built from them. Changed only by
// the main line, with the handled signals blocked.
termios saved;
termios raw;

// The signals caught for the wait. Set before any handler is installed.
sigset_t caught;

// ---- The terminal --------------------------------------------------------

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The local settings that make the wait's raw mode.
constexpr tcflag_t raw_off = ICANON | ECHO | ISIG | IEXTEN;

bool looks_raw(const termios& mode) {
  return (mode.c_lflag & raw_off) == 0;
}

// Non-canonical, no echo, no signal keys and no implementation-defined input
// processing, and in c_iflag nothing that drops or rewrites a byte (breaks,
// parity marks, stripping, CR and NL mapping, flow control, case), so that
// any single key, Ctrl-C, Ctrl-Z, Ctrl-S and Enter under `stty igncr`
// included, ends the wait. The line's framing (c_cflag) and output
// processing (c_oflag) are not the wait's to change.
termios raw_from(const termios& mode) {
  termios made = mode;
  made.c_lflag &= ~raw_off;
  made.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
#ifdef IUCLC
  made.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
  made.c_cc[VMIN] = 1;
  made.c_cc[VTIME] = 0;
  return made;
}

}  // namespace

extern "C" {
// Reached from a handler: the kernel's answer to a change of the terminal
// from the background.
static void note_ttou([[maybe_unused]] int sig) {
  ttou_came = 1;
}
}

namespace {

// Reached from a handler. Whether the program's group is in the background
// of its controlling terminal. This only tells where a decision stands; the
// kernel's own check makes every change.
bool in_background() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group >= 0 && group != getpgrp();
}

// Reached from a handler. Attempts one change of the terminal, `change`
// returning 0 or -1 as tcsetattr does, and returns whether it was made.
// Called with the handled signals blocked. SIGTTOU is let through meanwhile,
// to a handler that only notes it, even where the parent blocked it: from a
// background process group the kernel sends SIGTTOU and fails the call, but
// only if SIGTTOU is neither blocked nor ignored; otherwise it lets the change
// through, and the shell's settings would be overwritten. A SIGTTOU from
// elsewhere that came while the change went through is raised again, to meet
// its own disposition once the caller is done.
template <class Change>
bool attempt(Change change) {
  struct sigaction note {};
  struct sigaction outside {};
  note.sa_handler = note_ttou;
  note.sa_mask = caught;
  sigset_t ttou;
  sigset_t before;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  ttou_came = 0;
  sigaction(SIGTTOU, &note, &outside);
  sigprocmask(SIG_UNBLOCK, &ttou, &before);
  int done = 0;
  while ((done = change()) != 0 && errno == EINTR) {
    if (ttou_came == 0) continue;
    // Found in the foreground, the SIGTTOU that interrupted the call may have
    // come from elsewhere, or the shell may have brought the program back
    // since: either way the change is made again, and the kernel refuses it
    // again if it must.
    if (in_background()) break;
    ttou_came = 0;
  }
  const int error = errno;
  if (sigismember(&before, SIGTTOU) == 1) sigprocmask(SIG_BLOCK, &ttou, nullptr);
  sigaction(SIGTTOU, &outside, nullptr);
  if (done == 0 && ttou_came != 0) raise(SIGTTOU);
  errno = error;
  return done == 0;
}

// Reached from a handler.
bool set_mode(const termios& mode) {
  return attempt([&mode] { return tcsetattr(STDIN_FILENO, TCSANOW, &mode); });
}

// Sets the terminal to `mode` and drops the keys typed ahead, in one call:
// the kernel refuses it from the background before it drops anything.
// (tcflush would not do: refused, it still drops input the terminal has not
// yet handed on.)
bool set_mode_dropping_typed_ahead(const termios& mode) {
  return attempt([&mode] { return tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode); });
}

// Puts the wait's raw mode in place and returns whether it is. Settings found
// other than its own raw mode are the ones to put back, once raw mode built
// from them is entered. From the background the terminal is another's, and
// nothing changes.
bool enter_raw_mode(bool dropping_typed_ahead = false) {
  termios now{};
  if (tcgetattr(STDIN_FILENO, &now) != 0) return false;
  const bool ours = same_settings(now, raw);
  const termios wanted = ours ? raw : raw_from(now);
  if (!(dropping_typed_ahead ? set_mode_dropping_typed_ahead(wanted) : set_mode(wanted)))
    return false;
  if (!ours) saved = now;
  // Raw mode as the terminal holds it: a terminal may keep a setting locked
  // against change (TIOCSLCKTRMIOS), and raw mode that never took would look
  // gone again and again. Settings read back that are not raw at all were
  // put there by a shell while a stop came in between.
  termios held{};
  raw = tcgetattr(STDIN_FILENO, &held) == 0 && looks_raw(held) ? held : wanted;
  terminal = in_raw;
  return true;
}

// Whether the terminal's settings are no longer the wait's raw mode: they
// were put back, or something else changed them since.
bool raw_mode_gone() {
  termios now{};
  return tcgetattr(STDIN_FILENO, &now) == 0 && !same_settings(now, raw);
}

// Puts the settings found back, if the wait's raw mode may be in place.
void leave_raw_mode() {
  if (terminal != in_raw) return;
  set_mode(saved);
  terminal = as_found;
}

// ---- The hint ------------------------------------------------------------

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

// ---- Signals -------------------------------------------------------------

// Reached from a handler. Ends the program by sig's default action: sig is
// blocked while its handler runs, so it is raised, then unblocked to be
// delivered.
void end_by_default_action(int sig) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(sig, &default_action, nullptr);
  raise(sig);
  // sig is blocked here, so raise returns and the unblock below delivers it.
  // cppcheck-suppress unreachableCode
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

// The handlers have C linkage, as handlers should, and internal linkage.
extern "C" {

static void on_ending_signal(int sig) {
  if (terminal == in_raw) set_mode(saved);
  end_by_default_action(sig);
}

static void on_stop_signal(int sig) {
  stop_signal = sig;
  signals_seen = signals_seen + 1;
  stop_seen = signals_seen;
}

static void on_continue_signal([[maybe_unused]] int sig) {
  continued = 1;
  signals_seen = signals_seen + 1;
  continue_seen = signals_seen;
}

}  // extern "C"

namespace {

// Whether sig waits, blocked, to be delivered.
bool pending(int sig) {
  sigset_t set;
  return sigpending(&set) == 0 && sigismember(&set, sig) == 1;
}

// Stops the program by sig's default action, with the terminal as found, as
// a stop from the terminal would: from the background the kernel refuses the
// change, and the shell's settings stay. A continue that came after the stop
// ends it before it is taken, as the kernel's own SIGCONT drops a pending
// stop; and the kernel discards the stop in an orphaned process group.
// SIGCONT is let through with sig, so that a real stop is recorded as
// continued; where the parent blocked SIGCONT, the kernel's record of it
// pending tells instead. Returns whether the program was stopped.
bool stop_by(int sig, const blocked_signals& mask) {
  if (continue_seen > stop_seen) return false;
  leave_raw_mode();
  continued = 0;
  struct sigaction default_action {};
  struct sigaction own {};
  default_action.sa_handler = SIG_DFL;
  sigaction(sig, &default_action, &own);
  raise(sig);
  // sig is blocked here: the stop comes with the unblock below.
  // cppcheck-suppress unreachableCode
  sigset_t through;
  sigemptyset(&through);
  sigaddset(&through, sig);
  const bool cont_blocked = mask.blocked_at_start(SIGCONT);
  const bool cont_was_pending = cont_blocked && pending(SIGCONT);
  if (!cont_blocked) sigaddset(&through, SIGCONT);
  sigprocmask(SIG_UNBLOCK, &through, nullptr);
  sigprocmask(SIG_BLOCK, &through, nullptr);
  sigaction(sig, &own, nullptr);
  if (cont_blocked) return !cont_was_pending && pending(SIGCONT);
  return continued != 0;
}

// ---- The wait ------------------------------------------------------------

constexpr std::size_t longest_key = 32;

// Where the wait stands after one of its steps.
enum class ending {
  none,      // no key yet: it goes on
  key,       // a key came
  gone,      // the terminal hung up or failed
  orphaned,  // in the background of an orphaned group: no key can come
};

using clock = std::chrono::steady_clock;

timespec timespec_of(std::chrono::nanoseconds span) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(span);
  return {static_cast<time_t>(whole.count()), static_cast<long>((span - whole).count())};
}

// Sleeps until the terminal has input or hangs up, or `timeout` has passed
// (none if null), with the handled signals let through only while it sleeps,
// in the same call. Returns pselect's result.
int await_input(const blocked_signals& mask, const timespec* timeout) {
  fd_set input;
  FD_ZERO(&input);
  FD_SET(STDIN_FILENO, &input);
  return pselect(STDIN_FILENO + 1, &input, nullptr, nullptr, timeout, &mask.while_sleeping());
}

// The wait's own state, kept by the main line alone.
struct wait_state {
  const blocked_signals& mask;
  const hint_screen& screen;
  bool hint_due = false;
  // The last step was made in the background: the terminal was another's.
  bool was_in_background = false;
  clock::time_point last_orphan_check{};
};

// Acts on the stops and continues the handlers recorded. A stop puts the
// terminal back, stops, and takes the terminal again as found; after a real
// stop the hint is shown again. A continue that finds raw mode gone takes the
// terminal again and shows the hint. Keys typed while the terminal was
// another's (with `fg` itself, say) are dropped as it is taken again, before
// the hint. Once the key is taken no hint comes.
void act_on_signals(wait_state& w, bool key_taken) {
  while (stop_signal != 0) {
    const int sig = stop_signal;
    stop_signal = 0;
    const bool stopped = stop_by(sig, w.mask);
    if (enter_raw_mode(stopped) && stopped && !key_taken) w.hint_due = true;
    continued = 0;
  }
  if (continued == 0) return;
  continued = 0;
  if (raw_mode_gone() && enter_raw_mode(true) && !key_taken) w.hint_due = true;
}

// Reads what the terminal holds into `key`: a key, or the terminal gone at
// end of file, or none yet if the read failed, errno saying why.
ending read_into(char* key, std::size_t& got) {
  const ssize_t done = read(STDIN_FILENO, key, longest_key);
  if (done == 0) return ending::gone;
  if (done < 0) return ending::none;
  got = static_cast<std::size_t>(done);
  return ending::key;
}

// In the background no key can be read. The read is made with the signals
// let through, and the kernel decides: it stops the group by SIGTTIN, which
// the handler records, or, in an orphaned group, fails the read with EIO.
// Where SIGTTIN is ignored or blocked, the kernel fails every read from the
// background with EIO and so cannot tell; then the group is looked at once a
// second, and the foreground every 100 ms, since bash's `fg` does not
// continue a job that runs.
ending step_in_background(wait_state& w, char* key, std::size_t& got) {
  w.was_in_background = true;
  if (sigismember(&caught, SIGTTIN) == 1 && !w.mask.blocked_at_start(SIGTTIN)) {
    w.mask.let_through();
    const ending e = read_into(key, got);
    const int error = errno;
    w.mask.block_again();
    if (e != ending::none) return e;
    if (error == EIO && in_background()) return ending::orphaned;
    const bool goes_on = error == EIO || error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
    return goes_on ? ending::none : ending::gone;
  }
  const auto now = clock::now();
  if (now - w.last_orphan_check >= std::chrono::seconds(1)) {
    w.last_orphan_check = now;
    if (group_orphaned()) return ending::orphaned;
  }
  const timespec a_while = timespec_of(std::chrono::milliseconds(100));
  pselect(0, nullptr, nullptr, nullptr, &a_while, &w.mask.while_sleeping());
  return ending::none;
}

// One step in the foreground: sleeps until input comes and reads it.
ending step_in_foreground(wait_state& w, char* key, std::size_t& got) {
  // Back in the foreground without a continue (bash's `fg` of a job that
  // runs): the terminal is taken again from the shell. A change made by
  // another program while the wait kept the foreground is not adopted: the
  // settings found at the start are the ones put back.
  if (w.was_in_background && raw_mode_gone() && enter_raw_mode(true)) w.hint_due = true;
  w.was_in_background = false;
  if (w.hint_due) return ending::none;
  // No signal tells that the shell took the terminal back, so the sleep
  // ends after a second to look again.
  const timespec a_second = timespec_of(std::chrono::seconds(1));
  const int ready = await_input(w.mask, &a_second);
  if (ready < 0) return errno == EINTR ? ending::none : ending::gone;
  if (ready == 0) return ending::none;
  const ending e = read_into(key, got);
  if (e != ending::none) return e;
  // A terminal that another program left non-blocking is waited on; one
  // taken into the background meanwhile is met there.
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return ending::none;
  return errno == EIO && in_background() ? ending::none : ending::gone;
}

// Waits for the first bytes of a key, through stops and continues, and
// shows the hint whenever it is due.
ending first_bytes(wait_state& w, char* key, std::size_t& got) {
  for (;;) {
    act_on_signals(w, false);
    if (w.hint_due) w.screen.show(hint);
    w.hint_due = false;
    const ending e =
        in_background() ? step_in_background(w, key, got) : step_in_foreground(w, key, got);
    if (e != ending::none) return e;
  }
}

constexpr unsigned char escape = 0x1B;

// UTF-8: a continuation byte, 10xxxxxx.
bool continues_a_character(unsigned char byte) {
  constexpr unsigned char top_two = 0xC0;
  constexpr unsigned char continuation = 0x80;
  return (byte & top_two) == continuation;
}

// UTF-8: the number of continuation bytes that a lead byte announces, 0 for
// a byte that leads no character of several bytes (0xC0, 0xC1 and 0xF5 up
// lead none that is valid).
std::size_t announced_by(unsigned char lead) {
  constexpr unsigned char two_bytes = 0xC2;
  constexpr unsigned char three_bytes = 0xE0;
  constexpr unsigned char four_bytes = 0xF0;
  constexpr unsigned char past_the_last = 0xF5;
  if (lead < two_bytes || lead >= past_the_last) return 0;
  if (lead < three_bytes) return 1;
  return lead < four_bytes ? 2 : 3;
}

// How many of `left` continuation bytes are still to come after these bytes
// came: a byte that continues no character ends the key.
std::size_t left_after(const char* bytes, std::size_t size, std::size_t left) {
  for (std::size_t i = 0; i < size && left > 0; ++i)
    left = continues_a_character(static_cast<unsigned char>(bytes[i])) ? left - 1 : 0;
  return left;
}

// A key that sends several bytes may have them arrive apart over a slow
// link, so the rest is waited for, for at most 100 ms after the first, as
// editors wait for the rest of an escape sequence: after ESC, whatever comes
// in that time (an arrow key sends ESC [ A), so that ESC alone costs that
// much delay; after a UTF-8 lead byte, the continuation bytes it announces.
// A hang-up makes the terminal readable, so the read that follows ends the
// wait. Whatever else arrives is dropped with the settings put back.
void rest_of_key(wait_state& w, const char* key, std::size_t got) {
  constexpr auto escape_time = std::chrono::milliseconds(100);
  const auto lead = static_cast<unsigned char>(key[0]);
  const bool until_the_time_is_up = lead == escape;
  std::size_t left =
      until_the_time_is_up ? longest_key : left_after(key + 1, got - 1, announced_by(lead));
  const auto deadline = clock::now() + escape_time;
  char more[longest_key];
  while (left > 0) {
    const auto time_left = std::chrono::ceil<std::chrono::nanoseconds>(deadline - clock::now());
    if (time_left.count() <= 0) return;
    const timespec timeout = timespec_of(time_left);
    const int ready = await_input(w.mask, &timeout);
    if (ready == 0) return;
    if (ready < 0) {
      if (errno != EINTR) return;
      act_on_signals(w, true);
      continue;
    }
    const ssize_t done = read(STDIN_FILENO, more, until_the_time_is_up ? sizeof more : left);
    if (done < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (done <= 0) return;
    if (!until_the_time_is_up) left = left_after(more, static_cast<std::size_t>(done), left);
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
// it does not reach the shell. In an orphaned group nothing more is written
// to the terminal or changed on it: it belongs to the shell now.
void wait_for_key() {
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) return;
  raw = raw_from(saved);
  const hint_screen screen;
  caught = signals_to_catch();
  // Blocked before the handlers come and unblocked after they have gone, so
  // that a signal held back meets its own disposition, with the terminal as
  // found.
  const blocked_signals mask(caught);
  const signal_guard signals(caught, {on_ending_signal, on_stop_signal, on_continue_signal});
  wait_state w{mask, screen};
  // From the background the terminal is the shell's: no hint until the
  // program is brought to the foreground.
  w.hint_due = enter_raw_mode(true) || !in_background();
  char key[longest_key];
  std::size_t got = 0;
  const ending how = first_bytes(w, key, got);
  if (how == ending::key) rest_of_key(w, key, got);
  // Orphaned, the terminal is the shell's now: the kernel would refuse a
  // change, and nothing more is written to it.
  if (how == ending::orphaned) return;
  if (terminal == in_raw) set_mode_dropping_typed_ahead(saved);
  terminal = as_found;
  screen.show("\n");
}
