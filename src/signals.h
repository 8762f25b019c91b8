#pragma once

// What the key wait does with each signal number, on POSIX systems: one
// table, decided by the number's default action alone, so that no signal
// that could end or stop the program while the terminal is in raw mode is
// missed.

// How the wait meets a signal whose disposition it finds at the default.
enum class handling {
  end,     // its default action ends the program: caught, the terminal put
           // back, then the program ended by the same signal
  stop,    // SIGTSTP, SIGTTIN, SIGTTOU: recorded; the wait puts the terminal
           // back, stops by the default action, and takes the terminal again
  resume,  // SIGCONT: recorded; the wait takes the terminal again if another
           // program changed it meanwhile
  hold,    // the C library's own numbers, which no program may catch but
           // whose default action ends it: held blocked during the wait
  leave,   // ignored by default, or neither caught nor blocked by anyone
           // (SIGKILL, SIGSTOP): left as it is
};

// The highest signal number of the platform.
int last_signal();

// The table: how the wait meets signal number sig, 1 <= sig <= last_signal().
handling handling_of(int sig);
