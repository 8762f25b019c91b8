#include "fallback.h"

// The candidates are tried from the longest down and the first that
// qualifies, the largest, is returned. Each is checked by direct comparison:
// first its one differing byte, which rules most candidates out at once,
// then its j - 1 matching bytes. A call costs O(i^2) byte comparisons at
// most and a whole word O(L^3); for words of at most 51 bytes that is a few
// thousand comparisons, cheaper than building and keeping a failure table.
std::int32_t fallback(const char* w, std::int32_t i) {
  for (std::int32_t j = i - 1; j >= 1; --j) {
    if (w[j - 1] == w[i - 1]) continue;
    std::int32_t k = 0;
    while (k < j - 1 && w[k] == w[i - j + k]) ++k;
    if (k == j - 1) return j;
  }
  return 0;
}
