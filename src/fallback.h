#pragma once

#include <cstdint>

// For a word w and a position 1 <= i <= strlen(w), returns where a partial
// match of w falls back to when the byte read at position i is not w[i-1]:
// the largest j in 1 .. i-1 with w[0 .. j-2] == w[i-j .. i-2] and
// w[j-1] != w[i-1], or 0 if there is none. Bytes are compared as bytes.
std::int32_t fallback(const char* w, std::int32_t i);
