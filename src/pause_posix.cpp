#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "pause.h"

namespace {

constexpr char hint[] = "Press any key to continue . . . ";

// Reads one byte, resuming after an interrupting signal.
void read_one_byte() {
  char c = 0;
  while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

// There is no interpreter "pause" here, so the terminal is put in
// non-canonical mode with echo and signal keys off: any single key, Ctrl-C
// included, arrives as one byte and ends the wait, and the saved settings are
// always restored. Keys typed ahead are discarded first, and the key is read
// from the terminal itself, not from the rest of the word's line that the
// word's read left buffered, so the Enter after the word does not end the
// wait. Input that is not a terminal is never waited on, so a pipe or a file
// ends the program at once.
void wait_for_key() {
  termios saved{};
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) return;
  std::fputs(hint, stderr);
  read_one_byte();
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::fputc('\n', stderr);
}
