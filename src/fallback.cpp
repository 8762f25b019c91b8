#include "fallback.h"

#include <cstddef>
#include <cstring>

// The candidates are tried from the longest down, each by comparing its
// j - 1 bytes directly, so the first that qualifies is the largest. A call
// costs O(i^2) byte comparisons and a whole word O(L^3); for words of at
// most 51 bytes that is a few tens of thousands of comparisons, cheaper
// than building and keeping a failure table.
std::int32_t fallback(const char* w, std::int32_t i) {
  for (std::int32_t j = i - 1; j >= 1; --j) {
    if (w[j - 1] != w[i - 1] && std::memcmp(w, w + (i - j), static_cast<std::size_t>(j - 1)) == 0) {
      return j;
    }
  }
  return 0;
}
