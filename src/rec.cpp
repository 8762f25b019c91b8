#include "rec.h"

#include <algorithm>
#include <cstddef>

namespace {

// The sum and difference are formed in unsigned arithmetic, which wraps
// without undefined behaviour; converting back to int32 is modular (C++20),
// so the result is exactly the two's-complement one.
std::int32_t wrapping_add(std::int32_t x, std::int32_t y) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(x) + static_cast<std::uint32_t>(y));
}

std::int32_t wrapping_sub(std::int32_t x, std::int32_t y) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(x) - static_cast<std::uint32_t>(y));
}

}  // namespace

rec add(rec a, const rec& b) {
  if (a.n < b.n) {
    a.coef.resize(static_cast<std::size_t>(b.n), 0);
    a.n = b.n;
  }
  for (std::int32_t k = 0; k < b.n; ++k) a.coef[k] = wrapping_add(a.coef[k], b.coef[k]);
  return a;
}

rec sub(const rec& a, const rec& b) {
  rec r;
  r.n = std::max(a.n, b.n);
  r.coef.assign(static_cast<std::size_t>(r.n), 0);
  std::copy_n(a.coef.begin(), a.n, r.coef.begin());
  for (std::int32_t k = 0; k < b.n; ++k) r.coef[k] = wrapping_sub(r.coef[k], b.coef[k]);
  return r;
}

rec shift(const rec& a, std::int32_t k) {
  rec r;
  r.n = a.n + k;
  r.coef.assign(static_cast<std::size_t>(r.n), 0);
  std::copy_n(a.coef.begin(), a.n, r.coef.begin() + k);
  return r;
}
