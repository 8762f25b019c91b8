#pragma once

#include <termios.h>

// The terminal's modes for the key wait, on POSIX systems: the raw mode it
// waits in, the settings it puts back, and the two ways it changes the
// terminal: one that leaves the kernel to decide whether the terminal is the
// program's to change, and one that never draws SIGTTOU. What a signal
// handler may reach says so; it keeps to async-signal-safe calls.
// doc/key-wait.md tells the whole design.

// The kernel's answer to a change of the terminal's settings.
enum class answer {
  made,     // in place: the program's group has the terminal in the foreground,
            // or the terminal is not the program's controlling terminal
  refused,  // from a background process group: nothing changed, and the kernel
            // sent SIGTTOU to the whole group; or a SIGTTOU was pending, and
            // nothing was asked
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

// Sets the terminal to `mode`, and drops the keys typed ahead if asked, in
// one call that the kernel refuses from the background. SIGTTOU is let
// through meanwhile, at its default action or to a handler that notes it,
// even where the parent ignored or blocked it: only then does the kernel
// refuse a change from the background rather than make it over the shell's
// settings. A SIGTTOU already pending is not taken for the kernel's: where
// the parent blocked it, it stays pending for the parent; where the wait
// would stop by it, nothing is asked and the answer is `refused`, for the
// caller to meet it first.
answer change_settings(const termios& mode, bool dropping_typed_ahead, refusal on_refusal);

// Keeps `found` as the settings to put back, and puts raw mode built from it
// in place, dropping the keys typed ahead. Where the change is not made, the
// settings kept before stay, if any were. A terminal may keep a setting
// locked against change (TIOCSLCKTRMIOS): where it keeps line mode, the input
// processing found is kept too, so that Enter still ends a line and with it
// the wait. Once made, raw mode is read back as the terminal holds it.
answer enter_raw_mode(const termios& found, refusal on_refusal);

// Reached from a handler. Whether the program's group has the terminal in
// the foreground, or the terminal is not its controlling terminal.
bool in_foreground();

// Whether settings have been kept to put back.
bool keeps_settings();

// Whether the terminal, read back after raw mode was last entered, held line
// mode (locked there); false before raw mode was ever made.
bool held_raw_mode_is_canonical();

// Whether `now` is, field by field, the raw mode read back after raw mode was
// last entered.
bool holds_raw_mode(const termios& now);

// Puts back the settings kept, in one call that the kernel may refuse from
// the background (as change_settings), dropping the keys typed ahead. Once
// made, there is nothing left to put back.
answer leave_raw_mode(refusal on_refusal);

// Reached from a handler. Puts back the settings kept without ever drawing
// SIGTTOU, which from the background would stop the rest of the job: in the
// foreground, dropping the keys typed ahead; from the background, or where
// the change failed (an orphaned group), only where the terminal holds the
// wait's raw mode as read back, and keeping the keys, which are the
// shell's. The settings stay kept: after a stop the wait may take the
// terminal again.
void put_back_quietly();
