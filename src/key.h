#pragma once

#include <cstddef>

// How much of a key is still to come after its first bytes. A key may send
// several bytes, which a slow link can deliver apart; the wait takes them
// all, so that none is left for the shell.

// What is still due of a key whose first `size` bytes have come (size >= 1).
struct key_rest {
  // ESC may lead an escape sequence of any length (an arrow sends ESC [ A):
  // whatever comes within the escape time belongs to the key.
  bool until_the_time_is_up = false;
  // The continuation bytes a UTF-8 lead byte announced and that have not
  // come yet; 0 once the key is whole.
  std::size_t left = 0;
};

key_rest rest_of(const unsigned char* bytes, std::size_t size);
