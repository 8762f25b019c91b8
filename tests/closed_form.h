#pragma once

// Independent oracles for the recurrence, shared by the unit tests and the
// fuzz target.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The known closed form for a word w over two symbols:
// 1 - P(x) = x^L + (1 - 2x) c(x), where c is the word's autocorrelation
// polynomial: c_i = 1 exactly when the last L - i bytes of the word equal
// its first L - i bytes. Returns P's L + 1 coefficients.
inline std::vector<std::int32_t> closed_form(const std::string& w) {
  const std::size_t L = w.size();
  std::vector<std::int32_t> p(L + 1, 0);
  p[0] = 1;
  p[L] -= 1;
  for (std::size_t i = 0; i < L; ++i) {
    if (w.compare(i, L - i, w, 0, L - i) != 0) continue;
    p[i] -= 1;
    p[i + 1] += 2;
  }
  return p;
}

// The word with its bytes renamed by order of first occurrence, to 'a', 'b',
// 'c', ... and on to 'z', 'A', 'B', ...: which bytes are equal is all it
// keeps. A word of at most 52 bytes has at most 52 distinct ones.
inline std::string renamed(const std::string& w) {
  static const std::string names = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string seen;
  std::string out;
  for (const char c : w) {
    std::size_t k = seen.find(c);
    if (k == std::string::npos) {
      k = seen.size();
      seen += c;
    }
    out += names.at(k);
  }
  return out;
}
