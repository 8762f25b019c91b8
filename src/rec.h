#pragma once

#include <cstdint>
#include <vector>

// A polynomial in x with 32-bit integer coefficients, lowest power first:
// coef[k] is the coefficient of x^k. n is the number of coefficients and
// always equals coef.size(). High zero coefficients are kept, so n is a
// length, not a degree. The empty rec (n = 0) is the zero polynomial.
struct rec {
  std::int32_t n = 0;
  std::vector<std::int32_t> coef;
};

// Returns a + b with max(a.n, b.n) coefficients; each coefficient wraps
// modulo 2^32 as two's-complement arithmetic does. A caller done with a can
// move it in, and its coefficient array becomes the result's.
rec add(rec a, const rec& b);

// Returns a - b with max(a.n, b.n) coefficients; each coefficient wraps
// modulo 2^32 as two's-complement arithmetic does.
rec sub(const rec& a, const rec& b);

// Returns a * x^k: a.n + k coefficients, the lowest k of them zero.
// Requires k >= 0.
rec shift(const rec& a, std::int32_t k);
