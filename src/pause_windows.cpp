#include <cstdlib>

#include "pause.h"

// The command interpreter's own "pause" shows its prompt and waits for a key.
void wait_for_key() {
  std::system("pause");
}
