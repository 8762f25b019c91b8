#pragma once

#include <csignal>

// The key wait's signals, on POSIX systems: one table of what the wait does
// with each signal number, decided by the number's default action alone, so
// that no signal that could end or stop the program while the terminal is in
// raw mode is missed; and the two scoped objects that install its handlers
// and block its signals, each putting back what it found.

// How the wait meets a signal whose disposition it finds at the default.
enum class handling {
  end,     // its default action ends the program: caught, the terminal put
           // back, then the program ended by the same signal
  stop,    // SIGTSTP, SIGTTIN, SIGTTOU: recorded; the wait puts the terminal
           // back, stops by the default action, and takes the terminal again
  resume,  // SIGCONT: recorded, dropping a stop recorded before it; the wait
           // asks the kernel where it stands
  hold,    // the C library's own numbers, which no program may catch but
           // whose default action ends it: held blocked during the wait
  leave,   // ignored by default, or neither caught nor blocked by anyone
           // (SIGKILL, SIGSTOP): left as it is
};

// Whether sig waits, blocked, to be delivered.
bool pending(int sig);

// The highest signal number of the platform.
int last_signal();

// The table: how the wait meets signal number sig, 1 <= sig <= last_signal().
handling handling_of(int sig);

// The numbers to catch: every one that the table says to end, stop or resume
// by. A number ignored at start (SIGHUP under nohup, say) stays ignored, but
// SIGCONT, which continues the program whatever its disposition, is always
// caught.
sigset_t signals_to_catch();

// The signals that a fault in the program's own code raises (SIGSEGV and
// the like). They are never blocked while the wait runs: Linux kills a
// program whose fault signal is blocked without running its handler.
bool raised_by_faults(int sig);

// The handler for each way of meeting a signal that is caught.
struct handlers {
  void (*end)(int);
  void (*stop)(int);
  void (*resume)(int);
};

// Installs the handlers for the caught numbers, each running with all of
// them blocked and without SA_RESTART, so that a sleep a signal cuts short
// returns; puts back the dispositions it found when it goes.
class signal_guard {
 public:
  signal_guard(const sigset_t& caught, const handlers& to_install);
  signal_guard(const signal_guard&) = delete;
  signal_guard& operator=(const signal_guard&) = delete;
  ~signal_guard();

 private:
  // Room for every signal number of the systems this builds on: Linux has
  // 64 (128 on MIPS), FreeBSD 128.
  static constexpr int slots = 129;
  sigset_t caught;
  struct sigaction found[slots] {};
};

// Blocks the caught numbers but the fault signals, and holds the C library's
// reserved ones, for as long as it lives, then puts the mask back exactly as
// it found it, so that a signal the parent blocked is never delivered and
// stays pending as it was.
class blocked_signals {
 public:
  explicit blocked_signals(const sigset_t& caught);
  blocked_signals(const blocked_signals&) = delete;
  blocked_signals& operator=(const blocked_signals&) = delete;
  ~blocked_signals();

  // The mask to sleep with: the one found, with the reserved numbers held.
  const sigset_t& while_sleeping() const { return sleeping; }
  // Whether the parent had sig blocked.
  bool blocked_at_start(int sig) const { return sigismember(&found, sig) == 1; }

 private:
  sigset_t found{};
  sigset_t sleeping{};
};
