#include "rec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

rec make(std::vector<std::int32_t> c) {
  return rec{static_cast<std::int32_t>(c.size()), c};
}

constexpr std::int32_t max32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t min32 = std::numeric_limits<std::int32_t>::min();

enum class op { add, sub };

struct binary_case {
  std::string name;
  op o;
  rec a, b, want;
};

// Test names already say which case failed; print just that.
void PrintTo(const binary_case& c, std::ostream* os) {
  *os << c.name;
}

class RecBinary : public ::testing::TestWithParam<binary_case> {};

TEST_P(RecBinary, GivesExactCoefficients) {
  const binary_case& t = GetParam();
  const rec r = t.o == op::add ? add(t.a, t.b) : sub(t.a, t.b);
  EXPECT_EQ(r.n, t.want.n);
  EXPECT_EQ(r.coef, t.want.coef);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecBinary,
    ::testing::Values(
        binary_case{"AddEmptyLeft", op::add, rec{}, make({3, -1, 0}), make({3, -1, 0})},
        binary_case{"AddEmptyRight", op::add, make({3, -1, 0}), rec{}, make({3, -1, 0})},
        binary_case{"AddBothEmpty", op::add, rec{}, rec{}, rec{}},
        binary_case{"AddShorterFirst", op::add, make({1, 2}), make({10, 20, 30, 40, 50}),
                    make({11, 22, 30, 40, 50})},
        binary_case{"AddShorterSecond", op::add, make({10, 20, 30}), make({1}), make({11, 20, 30})},
        binary_case{"AddKeepsHighZeros", op::add, make({1, 1}), make({-1, -1}), make({0, 0})},
        binary_case{"SubFromEmptyNegates", op::sub, rec{}, make({1, -2, 0}), make({-1, 2, 0})},
        binary_case{"SubSelfKeepsLength", op::sub, make({4, 5, 6}), make({4, 5, 6}),
                    make({0, 0, 0})},
        binary_case{"SubOrderMatters", op::sub, make({1}), make({0, 1, 1}), make({1, -1, -1})},
        binary_case{"SubLongerFirst", op::sub, make({5, 5, 5}), make({1, 2}), make({4, 3, 5})},
        binary_case{"AddWrapsAtTop", op::add, make({max32}), make({1}), make({min32})},
        binary_case{"SubWrapsAtBottom", op::sub, make({min32}), make({1}), make({max32})}),
    [](const auto& info) { return info.param.name; });

// A sum moved in as the first argument keeps its array when it is long
// enough, so summing many terms into it allocates nothing more.
TEST(RecAdd, ReusesTheArrayMovedIn) {
  rec sum = make({1, 2, 3});
  const std::int32_t* const array = sum.coef.data();
  sum = add(std::move(sum), make({1, 1}));
  EXPECT_EQ(sum.coef, (std::vector<std::int32_t>{2, 3, 3}));
  EXPECT_EQ(sum.coef.data(), array);
}

struct shift_case {
  std::string name;
  rec a;
  std::int32_t k;
  rec want;
};

// Test names already say which case failed; print just that.
void PrintTo(const shift_case& c, std::ostream* os) {
  *os << c.name;
}

class RecShift : public ::testing::TestWithParam<shift_case> {};

TEST_P(RecShift, MultipliesByPowerOfX) {
  const shift_case& t = GetParam();
  const rec r = shift(t.a, t.k);
  EXPECT_EQ(r.n, t.want.n);
  EXPECT_EQ(r.coef, t.want.coef);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecShift,
    ::testing::Values(shift_case{"One", make({1}), 3, make({0, 0, 0, 1})},
                      shift_case{"ByZeroCopies", make({1, -2, 0}), 0, make({1, -2, 0})},
                      shift_case{"EmptyGivesZeros", rec{}, 2, make({0, 0})},
                      shift_case{"EmptyByZero", rec{}, 0, rec{}},
                      shift_case{"KeepsHighZeros", make({0, 7, 0}), 1, make({0, 0, 7, 0})}),
    [](const auto& info) { return info.param.name; });

}  // namespace
