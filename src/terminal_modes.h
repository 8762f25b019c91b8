#pragma once

#include <termios.h>

// The terminal's modes for the key wait, on POSIX systems: the raw mode it
// waits in, the settings it puts back, and the one way it changes the
// terminal, which leaves the kernel to decide whether the terminal is the
// program's to change. What a signal handler may reach says so; it keeps to
// async-signal-safe calls.

// The kernel's answer to a change of the terminal's settings.
enum class answer {
  made,     // in place: the program's group has the terminal in the foreground,
            // or the terminal is not the program's controlling terminal
  refused,  // from a background process group: nothing changed, and the kernel
            // sent SIGTTOU to the whole group
  failed,   // an orphaned process group or a hung-up terminal (EIO), or another
            // error: no key can come
};

// Whether the terminal hands input on line by line.
bool canonical(const termios& mode);

// The wait's raw mode, built from the settings found.
termios raw_from(const termios& mode);

// What a change refused from the background does to the program.
enum class refusal {
  noted,  // nothing: the change fails, answered `refused`
  // SIGTTOU's default action: the program stops with the rest of its job, in
  // the kernel's own order, so that a continue that comes first ends the
  // stop. The continue is let through to its handler and ends the call,
  // answered `refused`, so that the signals that came meanwhile are met; so
  // does any signal that interrupts the call.
  stops,
  // The same where the parent blocked SIGCONT: continued, the program makes
  // the change again, and stops again while still in the background.
  stops_until_made,
};

// Reached from a handler, with refusal::noted. Sets the terminal to `mode`,
// and drops the keys typed ahead if asked, in one call. SIGTTOU is let
// through meanwhile, at its default action or to a handler that notes it,
// even where the parent ignored or blocked it: only then does the kernel
// refuse a change from the background rather than make it over the shell's
// settings.
answer change_settings(const termios& mode, bool dropping_typed_ahead,
                       refusal on_refusal = refusal::noted);

// Puts raw mode built from `found` in place, dropping the keys typed ahead,
// with `found` kept as the settings to put back. `held` is raw mode as the
// terminal then holds it: a terminal may keep a setting locked against change
// (TIOCSLCKTRMIOS), and where it keeps line mode, the input processing found
// is kept too, so that Enter still ends a line and with it the wait.
answer enter_raw_mode(const termios& found, termios& held, refusal on_refusal);

// Reached from a handler. Whether the wait's raw mode may be in place: it is
// marked before raw mode is entered, and cleared once the settings are put
// back, so that a handler that comes in between puts them back once more.
bool raw_may_be_in_place();

// Reached from a handler. Puts back the settings kept, if raw mode may be in
// place; `made` if there is nothing to put back.
answer leave_raw_mode(bool dropping_typed_ahead);
