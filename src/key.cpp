#include "key.h"

namespace {

constexpr unsigned char escape = 0x1B;

// UTF-8: a continuation byte, 10xxxxxx.
bool continues_a_character(unsigned char byte) {
  constexpr unsigned char top_two = 0xC0;
  constexpr unsigned char continuation = 0x80;
  return (byte & top_two) == continuation;
}

// UTF-8: the number of continuation bytes that a lead byte announces; 0 for a
// byte that leads no valid character of several bytes (ASCII, a continuation
// byte, 0xC0 and 0xC1, which could only encode ASCII again, and 0xF5 up,
// past the last code point).
std::size_t announced_by(unsigned char lead) {
  constexpr unsigned char two_bytes = 0xC2;
  constexpr unsigned char three_bytes = 0xE0;
  constexpr unsigned char four_bytes = 0xF0;
  constexpr unsigned char past_the_last = 0xF5;
  if (lead < two_bytes || lead >= past_the_last) return 0;
  if (lead < three_bytes) return 1;
  return lead < four_bytes ? 2 : 3;
}

}  // namespace

// The lead byte decides. After a UTF-8 lead byte each continuation byte that
// came counts off one of those announced; any other byte ends the key there,
// as a decoder would, so a broken character never holds the wait for long.
key_rest rest_of(const unsigned char* bytes, std::size_t size) {
  if (bytes[0] == escape) return {true, 0};
  std::size_t left = announced_by(bytes[0]);
  for (std::size_t i = 1; i < size && left > 0; ++i)
    left = continues_a_character(bytes[i]) ? left - 1 : 0;
  return {false, left};
}
