#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "console.h"

// The wait puts the terminal in raw mode, the one change the program makes to
// it, and must put it back however the program ends, and take it again
// however the program goes on. Four rules carry that:
//
// - `waiting` says whether raw mode is wanted. It changes only with every
//   handled signal blocked, and each handler runs with all of them blocked,
//   so no handler interrupts another or a change halfway.
// - Every signal whose default action ends the program is caught for the
//   wait: its handler puts the terminal back, then ends the program by the
//   same signal, so the parent sees the usual status. The numbers the C
//   library keeps for itself cannot be caught; they are held blocked until
//   the terminal is back.
// - Every stop goes one way: settings back, the stop itself (which the kernel
//   may discard), then the terminal taken again as it is found. Every
//   continue takes it again the same way, so settings changed while the
//   program was stopped are the ones it puts back at the end.
// - Whether the terminal is the program's to change is never checked before
//   the change: that state can change in between. The change is attempted,
//   and the kernel, which refuses a change from a background process group
//   by sending SIGTTOU, decides in the same step.

namespace {

// ---- Platform facts ------------------------------------------------------

// Room for every signal number of the systems this builds on: Linux has 64
// (128 on MIPS), FreeBSD 128.
constexpr int signal_slots = 129;
static_assert(NSIG <= signal_slots, "a signal number would have no slot");

// The highest signal number. FreeBSD's NSIG counts only the classic signals;
// its real-time signals run to 126.
int last_signal() {
#ifdef SIGRTMAX
  return std::min(std::max(NSIG - 1, static_cast<int>(SIGRTMAX)), signal_slots - 1);
#else
  return NSIG - 1;
#endif
}

// Signals whose default action is to be ignored. Caught to end the program,
// one would end the wait where the system means nothing to happen. SIGCONT,
// which continues the program, is handled apart.
bool ignored_by_default(int sig) {
  switch (sig) {
    // Everywhere: a child's change of state, urgent socket data, a new window
    // size.
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
#ifdef SIGINFO
    // The BSDs, macOS and illumos: the status key, Ctrl-T.
    case SIGINFO:
#endif
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || \
    defined(__DragonFly__)
    // I/O possible: ignored there, but it ends the program on Linux.
    case SIGIO:
#endif
#ifdef __sun
    // illumos: power failure, and the signals of threads, checkpoints,
    // resource controls and the Java VM.
    case SIGPWR:
    case SIGWAITING:
    case SIGLWP:
    case SIGCANCEL:
    case SIGFREEZE:
    case SIGTHAW:
    case SIGXRES:
    case SIGJVM1:
    case SIGJVM2:
#endif
      return true;
    default:
      return false;
  }
}

// The numbers the C library keeps for its threads (glibc: 32 and 33; musl: 32
// to 34) can still end the program, by their default action, but its
// sigaction refuses them and its sigprocmask leaves them out. On Linux the
// kernel's own call blocks them, so one sent during the wait acts only once
// the terminal is back. Elsewhere they stay as the C library keeps them.
void hold_reserved(const bool (&numbers)[signal_slots], int how) {
#ifdef __linux__
  // The kernel's signal set: bit sig - 1 for each number, in words of
  // unsigned long, NSIG - 1 bits in all.
  constexpr std::size_t bits = CHAR_BIT * sizeof(unsigned long);
  unsigned long set[(signal_slots + bits - 1) / bits] = {};
  for (int sig = 1; sig < signal_slots; ++sig) {
    const auto bit = static_cast<std::size_t>(sig - 1);
    if (numbers[sig]) set[bit / bits] |= 1UL << (bit % bits);
  }
  syscall(SYS_rt_sigprocmask, how, set, nullptr, (NSIG - 1) / CHAR_BIT);
#else
  static_cast<void>(numbers);
  static_cast<void>(how);
#endif
}

// ---- The wait's state ----------------------------------------------------

constexpr char hint[] = "Press any key to continue . . . ";

// The settings to put back, and raw mode, built from them.
termios saved;
termios raw;

volatile std::sig_atomic_t waiting = 0;

// How many times the program was continued during the wait.
volatile std::sig_atomic_t continues = 0;

// The hint is to be shown again: the wait took the terminal back after a stop.
// Handlers only ask for it; the read of the key shows it, so that it never
// comes once the key is taken.
volatile std::sig_atomic_t hint_due = 0;

// SIGTTOU came while a change of the terminal was attempted.
volatile std::sig_atomic_t refused = 0;

// Where the hint goes: the terminal the key is read from.
int screen = STDERR_FILENO;

// The signals caught for the wait, the dispositions found for them, put back
// afterwards, and the numbers held blocked instead.
sigset_t caught;
struct sigaction found[signal_slots];
bool reserved[signal_slots];

// ---- The terminal --------------------------------------------------------

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Non-canonical, no echo, no signal keys, no flow control and no
// implementation-defined input processing, so that any single key, Ctrl-C,
// Ctrl-Z and Ctrl-S included, ends the wait.
termios raw_from(const termios& mode) {
  termios made = mode;
  made.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  made.c_iflag &= ~static_cast<tcflag_t>(IXON);
  made.c_cc[VMIN] = 1;
  made.c_cc[VTIME] = 0;
  return made;
}

}  // namespace

// The kernel's answer to a change of the terminal from the background.
extern "C" {
static void on_refusal([[maybe_unused]] int sig) {
  refused = 1;
}
}

namespace {

// Whether the program's group is in the background of its controlling
// terminal. This only tells where a decision stands; the kernel's own check
// makes every change.
bool in_background() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group >= 0 && group != getpgrp();
}

// Attempts one change of the terminal, `change` returning 0 or -1 as
// tcsetattr does, and returns whether it was made. Called with the handled
// signals blocked; async-signal-safe. Meanwhile SIGTTOU is let through to a
// handler that only notes it: from a background group the kernel sends it and
// fails the call, and the program then leaves the terminal alone. A SIGTTOU
// from elsewhere that came while the change went through is raised again, to
// meet its own disposition once the caller is done.
template <class Change>
bool attempt(Change change) {
  struct sigaction note {};
  struct sigaction outside {};
  note.sa_handler = on_refusal;
  note.sa_mask = caught;
  sigset_t ttou;
  sigset_t before;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  refused = 0;
  sigaction(SIGTTOU, &note, &outside);
  sigprocmask(SIG_UNBLOCK, &ttou, &before);
  int done = 0;
  while ((done = change()) != 0 && errno == EINTR) {
    if (refused == 0) continue;
    // Found in the foreground, the SIGTTOU that interrupted the call may have
    // come from elsewhere, or the shell may have brought the program back
    // since: either way the change is made again, and the kernel refuses it
    // again if it must.
    if (in_background()) break;
    refused = 0;
  }
  const int error = errno;
  if (sigismember(&before, SIGTTOU) == 1) sigprocmask(SIG_BLOCK, &ttou, nullptr);
  sigaction(SIGTTOU, &outside, nullptr);
  if (done == 0 && refused != 0) raise(SIGTTOU);
  errno = error;
  return done == 0;
}

bool set_mode(const termios& mode) {
  return attempt([&mode] { return tcsetattr(STDIN_FILENO, TCSANOW, &mode); });
}

// Sets the terminal to `mode` and discards the input not yet read, in one
// call: the kernel refuses it from the background before it discards
// anything. (tcflush would not do: refused, it still drops input the terminal
// has not yet handed on.)
bool set_mode_discarding_input(const termios& mode) {
  return attempt([&mode] { return tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode); });
}

// Takes the terminal for the wait and returns whether raw mode is in place.
// Settings found other than the wait's own raw mode are the ones to put back
// once raw mode, built from them, is entered. From the background the
// terminal is another's, and nothing changes.
bool take_terminal() {
  termios now{};
  if (tcgetattr(STDIN_FILENO, &now) != 0) return false;
  if (same_settings(now, raw)) return set_mode(raw);
  const termios wanted = raw_from(now);
  if (!set_mode(wanted)) return false;
  saved = now;
  raw = wanted;
  return true;
}

// Whether the terminal's settings are other than the wait's raw mode: its
// raw mode was put back, or something else took the terminal since.
bool left_raw_mode() {
  termios now{};
  return tcgetattr(STDIN_FILENO, &now) == 0 && !same_settings(now, raw);
}

// The terminal the key is read from, for writing: the hint belongs where the
// key is awaited, wherever standard error goes. Standard error stands in only
// when the terminal cannot be opened for writing.
int open_screen() {
  const int flags = fcntl(STDIN_FILENO, F_GETFL);
  if (flags >= 0 && (flags & O_ACCMODE) == O_RDWR) return STDIN_FILENO;
  constexpr std::size_t longest_name = 256;
  char name[longest_name] = {};
  if (ttyname_r(STDIN_FILENO, name, sizeof name) != 0) return STDERR_FILENO;
  const int fd = open(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return STDERR_FILENO;
  return fd;
}

// Async-signal-safe.
void show(const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t done = write(screen, text, left);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    text += done;
    left -= static_cast<std::size_t>(done);
  }
}

// ---- Signals -------------------------------------------------------------

void install(int sig, void (*on_signal)(int)) {
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_mask = caught;
  // No SA_RESTART: a read of the key that a stop interrupted returns, so that
  // the hint is shown again before the wait goes on. Every call of the wait
  // that can block is made again on EINTR.
  action.sa_flags = 0;
  sigaction(sig, &action, nullptr);
}

// Takes the default action of sig now: ends the program, or stops it, or,
// for a stop the kernel discards, nothing. sig is blocked while its handler
// runs, so it is raised, then unblocked to be delivered; a handler that
// returns finds its own disposition back.
void take_default_action(int sig) {
  struct sigaction default_action {};
  struct sigaction own {};
  default_action.sa_handler = SIG_DFL;
  sigaction(sig, &default_action, &own);
  raise(sig);
  // sig is blocked here, so raise returns and the unblock below delivers it.
  // cppcheck-suppress unreachableCode
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  sigaction(sig, &own, nullptr);
}

// Whether a SIGCONT waits to be handled: the program was stopped, and
// continued, since the handled signals were blocked.
bool continued() {
  sigset_t pending;
  return sigpending(&pending) == 0 && sigismember(&pending, SIGCONT) == 1;
}

}  // namespace

// The handlers have C linkage, as handlers should, and internal linkage.
extern "C" {

static void on_ending_signal(int sig) {
  if (waiting != 0) set_mode(saved);
  take_default_action(sig);
}

// SIGTSTP, SIGTTIN and SIGTTOU: the terminal is put back before the program
// stops. Whenever it goes on, stopped or not (the kernel discards these stops
// in a process group that no shell controls), the wait takes the terminal
// again; after a real stop, which the SIGCONT that ended it tells, the hint is
// shown again once the terminal is the program's.
static void on_stop_signal(int sig) {
  const int saved_errno = errno;
  if (waiting != 0) set_mode(saved);
  take_default_action(sig);
  if (waiting != 0 && take_terminal() && continued()) hint_due = 1;
  errno = saved_errno;
}

// Continued, after a stop or not (SIGSTOP cannot be caught, so which is not
// known): if something changed the terminal meanwhile (a shell puts its own
// settings back when a job stops), the wait takes it again and shows the hint
// anew. One that finds raw mode in place changes nothing, on the terminal or
// on the screen.
static void on_continue_signal([[maybe_unused]] int sig) {
  const int saved_errno = errno;
  continues = continues + 1;
  if (waiting != 0 && left_raw_mode() && take_terminal()) hint_due = 1;
  errno = saved_errno;
}

}  // extern "C"

namespace {

using handler = void (*)(int);

handler handler_for(int sig) {
  if (sig == SIGCONT) return on_continue_signal;
  if (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU) return on_stop_signal;
  return on_ending_signal;
}

// Catches every signal of the platform's whole range whose default action
// ends or stops the program, so none can be missed, and SIGCONT always, to
// take the terminal again after any stop. A signal ignored at start (SIGHUP under
// nohup, say) stays ignored; numbers whose disposition cannot even be read
// are the C library's own and are held blocked instead.
void catch_signals() {
  sigemptyset(&caught);
  for (int sig = 1; sig <= last_signal(); ++sig) {
    reserved[sig] = false;
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    if (sigaction(sig, nullptr, &found[sig]) != 0) {
      reserved[sig] = true;
      continue;
    }
    const bool ends = found[sig].sa_handler == SIG_DFL && !ignored_by_default(sig);
    if (ends || sig == SIGCONT) sigaddset(&caught, sig);
  }
  for (int sig = 1; sig <= last_signal(); ++sig)
    if (sigismember(&caught, sig) == 1) install(sig, handler_for(sig));
  hold_reserved(reserved, SIG_BLOCK);
}

void release_signals() {
  for (int sig = 1; sig <= last_signal(); ++sig)
    if (sigismember(&caught, sig) == 1) sigaction(sig, &found[sig], nullptr);
  hold_reserved(reserved, SIG_UNBLOCK);
}

// Runs `change` with the handled signals blocked. The C library's SIG_SETMASK
// would let the reserved numbers through, so the same set is unblocked after.
template <class Change>
void with_signals_blocked(Change change) {
  sigprocmask(SIG_BLOCK, &caught, nullptr);
  change();
  sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

// Waits for the terminal to have input or hang up, for at most `timeout` (none
// if null), with the handled signals let through only while it waits, in the
// same call. Returns pselect's result.
int await_input(const sigset_t& open, const timespec* timeout) {
  fd_set input;
  FD_ZERO(&input);
  FD_SET(STDIN_FILENO, &input);
  return pselect(STDIN_FILENO + 1, &input, nullptr, nullptr, timeout, &open);
}

// One try at reading the key. The hint is shown first if a handler asked for
// it, then the key is awaited and read, with the handled signals let through
// only while it is awaited (pselect), so that none can come between the check
// for the hint and the wait, or between the key's coming and its read. In
// the background there is nothing to wait for: the read stops the program by
// SIGTTIN, as a reader in the background is stopped, so it is made with the
// signals let through. Returns read's result, or -1 and EINTR.
ssize_t try_key(char* key, std::size_t size) {
  sigset_t open;
  sigprocmask(SIG_BLOCK, &caught, &open);
  if (hint_due != 0) show(hint);
  hint_due = 0;
  const bool background = in_background();
  if (background) sigprocmask(SIG_UNBLOCK, &caught, nullptr);
  ssize_t got = -1;
  if (background || await_input(open, nullptr) > 0) got = read(STDIN_FILENO, key, size);
  const int error = errno;
  if (!background) sigprocmask(SIG_UNBLOCK, &caught, nullptr);
  errno = error;
  return got;
}

// A read from the background failed at once instead of stopping the program:
// it was made with SIGTTIN blocked, or SIGTTIN is ignored. The program stops
// by SIGTTIN as a reader in the background would. Where SIGTTIN is ignored it
// waits instead, and since a shell need not continue a job that runs to bring
// it back, it looks for the foreground every 100 ms; found there, it takes the
// terminal as after a continue. Each check and the stop or the wait that
// follows it are one step, with the signals blocked between.
void await_foreground() {
  constexpr timespec a_while{0, 100'000'000};
  sigset_t open;
  sigprocmask(SIG_BLOCK, &caught, &open);
  if (in_background()) {
    if (sigismember(&caught, SIGTTIN) == 1)
      raise(SIGTTIN);
    else
      pselect(0, nullptr, nullptr, nullptr, &a_while, &open);
  }
  if (!in_background() && left_raw_mode() && take_terminal()) hint_due = 1;
  sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

// Reads the first byte or bytes of a key into `key` and returns how many, or
// 0 when the terminal went away (end of file or an error). A read that a
// signal interrupted is made again; a terminal that another program left
// non-blocking is waited on.
ssize_t read_first(char* key, std::size_t size) {
  for (;;) {
    const ssize_t got = try_key(key, size);
    if (got >= 0) return got;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    if (errno != EIO || !in_background()) return 0;
    await_foreground();
  }
}

// Waits for the rest of a key for at most `timeout`; no hint comes now.
int await_rest(const timespec& timeout) {
  sigset_t open;
  sigprocmask(SIG_BLOCK, &caught, &open);
  const int ready = await_input(open, &timeout);
  const int error = errno;
  sigprocmask(SIG_UNBLOCK, &caught, nullptr);
  errno = error;
  return ready;
}

// Reads one key press. A key that sends several bytes (an arrow key sends
// ESC [ A) may have them arrive apart over a slow link, so after an ESC the
// rest is read for 100 ms, as editors wait for the rest of an escape
// sequence; ESC alone costs that much delay. pselect, not poll, waits for it:
// poll cannot wait on a terminal everywhere (older macOS), and a hang-up makes
// the terminal readable, so the read that follows ends the wait. Once the key
// has come, no hint is shown again.
void read_key() {
  constexpr auto escape_time = std::chrono::milliseconds(100);
  constexpr std::size_t longest_key = 32;
  char key[longest_key];
  if (read_first(key, sizeof key) <= 0 || key[0] != '\033') return;
  const auto deadline = std::chrono::steady_clock::now() + escape_time;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const timespec timeout{0, static_cast<long>(left.count())};
    const int ready = await_rest(timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    const ssize_t got = read(STDIN_FILENO, key, sizeof key);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) return;
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
// Keys typed ahead are discarded before the hint is written, not after, so a
// key pressed as soon as the hint shows is kept. The hint is written before
// raw mode is entered, since writing it may end the program where it goes to
// standard error (a closed pipe, a file size limit). The rest of a
// key sent as several bytes is dropped with the settings put back, so it does
// not reach the shell.
void wait_for_key() {
  if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved) != 0) return;
  raw = raw_from(saved);
  screen = open_screen();
  catch_signals();
  with_signals_blocked([] { set_mode_discarding_input(saved); });
  const std::sig_atomic_t continues_before = continues;
  show(hint);
  with_signals_blocked([continues_before] {
    waiting = 1;
    // A stop since the hint was written (SIGSTOP, which no handler sees, say)
    // shows it again, as any stop does once the wait is on.
    if (take_terminal() && (continues != continues_before || continued())) hint_due = 1;
  });
  read_key();
  with_signals_blocked([] {
    waiting = 0;
    set_mode_discarding_input(saved);
  });
  show("\n");
  release_signals();
  if (screen != STDIN_FILENO && screen != STDERR_FILENO) close(screen);
}
