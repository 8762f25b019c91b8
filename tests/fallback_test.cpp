#include "fallback.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct fallback_case {
  std::string word;
  std::vector<std::int32_t> want;  // fallback(word, i) for i = 1 .. L
};

// Test names already say which case failed; print just that.
void PrintTo(const fallback_case& c, std::ostream* os) {
  *os << c.word;
}

class Fallback : public ::testing::TestWithParam<fallback_case> {};

TEST_P(Fallback, GivesLargestQualifyingPrefixAtEveryPosition) {
  const fallback_case& t = GetParam();
  std::vector<std::int32_t> got;
  for (std::int32_t i = 1; i <= static_cast<std::int32_t>(t.word.size()); ++i) {
    got.push_back(fallback(t.word.c_str(), i));
  }
  EXPECT_EQ(got, t.want);
}

INSTANTIATE_TEST_SUITE_P(
    Words, Fallback,
    ::testing::Values(fallback_case{"0", {0}}, fallback_case{"1", {0}},
                      fallback_case{"0000", {0, 0, 0, 0}}, fallback_case{"00101", {0, 0, 2, 0, 2}},
                      fallback_case{"0101", {0, 1, 0, 1}}, fallback_case{"011", {0, 1, 1}},
                      fallback_case{"01", {0, 1}}, fallback_case{"00", {0, 0}},
                      fallback_case{"10", {0, 1}}, fallback_case{"11", {0, 0}},
                      fallback_case{"0010", {0, 0, 2, 0}},
                      // More than two symbols: only equality of bytes decides.
                      fallback_case{"abcab", {0, 1, 1, 0, 1}}, fallback_case{"aab", {0, 0, 2}},
                      // At i = 4 both j = 2 and j = 1 qualify; the larger wins.
                      fallback_case{"abac", {0, 1, 0, 2}},
                      // Bytes above 0x7f are compared as bytes, not as signed characters.
                      fallback_case{"\x80\xff\x80", {0, 1, 0}}),
    [](const auto& info) {
      std::string name = "w";
      for (const unsigned char c : info.param.word) name += std::to_string(c) + "_";
      return name;
    });

}  // namespace
