#include "driver.h"

#include "closed_form.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// All words of length L over the two bytes zero and one.
std::vector<std::string> binary_words(int L, char zero = '0', char one = '1') {
  std::vector<std::string> words;
  for (unsigned bits = 0; bits < (1u << L); ++bits) {
    std::string w;
    for (int k = 0; k < L; ++k) w += (bits >> k) & 1u ? one : zero;
    words.push_back(w);
  }
  return words;
}

std::vector<std::int32_t> build_for(const std::string& w) {
  std::strcpy(word, w.c_str());
  const rec& p = build();
  EXPECT_EQ(p.n, static_cast<std::int32_t>(p.coef.size())) << w;
  return p.coef;
}

// The number of binary strings of length m that do not contain w, by
// enumerating them all.
std::int64_t brute_force_count(const std::string& w, int m) {
  std::int64_t count = 0;
  for (const std::string& s : binary_words(m)) count += s.find(w) == std::string::npos ? 1 : 0;
  return count;
}

TEST(Build, MatchesAutocorrelationClosedFormForAllBinaryWordsUpToTwelve) {
  for (int L = 1; L <= 12; ++L) {
    for (const std::string& w : binary_words(L)) ASSERT_EQ(build_for(w), closed_form(w)) << w;
  }
}

TEST(Build, RecurrenceReproducesBruteForceCountsForAllBinaryWordsUpToEight) {
  for (int L = 1; L <= 8; ++L) {
    for (const std::string& w : binary_words(L)) {
      const std::vector<std::int32_t> p = build_for(w);
      std::vector<std::int64_t> a;
      for (int m = 0; m <= L + 4; ++m) a.push_back(brute_force_count(w, m));
      for (int n = L; n <= L + 4; ++n) {
        std::int64_t predicted = 0;
        for (int k = 1; k <= L; ++k) predicted += p[k] * a[n - k];
        ASSERT_EQ(predicted, a[n]) << "word " << w << ", n = " << n;
      }
    }
  }
}

TEST(Build, DependsOnlyOnWhichBytesAreEqual) {
  for (int L = 1; L <= 8; ++L) {
    const std::vector<std::string> plain = binary_words(L);
    const std::vector<std::string> high = binary_words(L, '\xff', '\x01');
    for (std::size_t k = 0; k < plain.size(); ++k) {
      ASSERT_EQ(build_for(high[k]), build_for(plain[k])) << plain[k];
    }
  }
}

TEST(Build, FillsTheTablesAsInTheWorkedExample) {
  build_for("00101");
  const std::vector<std::vector<std::int32_t>> want_pre = {
      {1}, {1, -1}, {1, -1, -1}, {1, -2, 0, 1}, {1, -2, 0, 1, -1}};
  const std::vector<std::vector<std::int32_t>> want_fb = {
      {}, {0, 1}, {0, 0, 1}, {0, 1, -1, -1}, {0, 0, 0, 0, 1}, {0, 0, 0, 1, -1, -1}};
  ASSERT_EQ(pre.size(), want_pre.size());
  ASSERT_EQ(fb.size(), want_fb.size());
  // pre[0] has been reused for the sum.
  EXPECT_EQ(pre[0].coef, (std::vector<std::int32_t>{0, 2, 0, 0, 0, -1}));
  for (std::size_t i = 1; i < pre.size(); ++i) EXPECT_EQ(pre[i].coef, want_pre[i]) << i;
  for (std::size_t i = 0; i < fb.size(); ++i) EXPECT_EQ(fb[i].coef, want_fb[i]) << i;
}

TEST(Build, MatchesClosedFormAtTheLongestWords) {
  const std::string a(51, '0');
  const std::string b = std::string(50, '0') + "1";
  std::string c;
  for (int k = 0; k < 51; ++k) c += k % 2 == 0 ? '0' : '1';
  const std::string d = "001001000100100010010001001000100100010010001001000";
  for (const std::string& w : {a, b, c, d}) {
    ASSERT_EQ(w.size(), static_cast<std::size_t>(word_capacity - 1));
    EXPECT_EQ(build_for(w), closed_form(w)) << w;
  }
}

}  // namespace
