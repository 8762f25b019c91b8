#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "console.h"

// The runtime reads standard input in text mode, where a byte 0x1A ends it;
// piped or redirected bytes are taken as they are instead. A console keeps
// text mode, where Ctrl-Z then Enter ends the input.
void prepare_input() {
  if (_isatty(_fileno(stdin)) == 0) _setmode(_fileno(stdin), _O_BINARY);
}

bool is_terminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

// The command interpreter's own "pause" shows its prompt and waits for a key.
// It reads the same standard input, so a pipe or a file is read to its end.
void wait_for_key() {
  std::system("pause");
}
