#include "driver.h"

#include "closed_form.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

#ifdef __GLIBC__

// A stream whose write number `failing` (from 1) fails with EIO and whose
// other writes all succeed, as a disk that is full for a moment, or a
// network file system that recovers, can leave it: glibc's fopencookie.
struct flaky_output {
  int failing;
  int writes = 0;
  std::string written;
};

extern "C" ssize_t write_flaky(void* cookie, const char* bytes, std::size_t size) {
  auto* out = static_cast<flaky_output*>(cookie);
  if (++out->writes == out->failing) {
    errno = EIO;
    return -1;
  }
  out->written.append(bytes, size);
  return static_cast<ssize_t>(size);
}

struct write_error_case {
  const char* name;
  int buffering;  // _IONBF: each fprintf writes; _IOFBF: a buffer of `size`
  std::size_t size;
  int failing;  // the write that fails
  const char* message;
};

class WriteError : public ::testing::TestWithParam<write_error_case> {};

// A write that fails fails the run, with a message, even where the writes
// after it, and the last flush, succeed: the stream's error indicator tells
// of it, not the flush alone.
TEST_P(WriteError, FailsTheRunEvenWhenTheLastFlushSucceeds) {
  const write_error_case& t = GetParam();
  flaky_output flaky{t.failing, 0, {}};
  cookie_io_functions_t calls{};
  calls.write = write_flaky;
  std::FILE* out = fopencookie(&flaky, "w", calls);
  ASSERT_NE(out, nullptr);
  char buffer[64];
  ASSERT_LE(t.size, sizeof buffer);
  ASSERT_EQ(std::setvbuf(out, t.buffering == _IONBF ? nullptr : buffer, t.buffering, t.size), 0);
  char input[] = "00101\n";
  std::FILE* in = fmemopen(input, std::strlen(input), "r");
  ASSERT_NE(in, nullptr);
  char* message = nullptr;
  std::size_t message_size = 0;
  std::FILE* err = open_memstream(&message, &message_size);
  ASSERT_NE(err, nullptr);
  const int status = run(in, out, err);
  std::fclose(err);
  std::fclose(in);
  std::fclose(out);
  const std::string shown = message;
  std::free(message);
  EXPECT_EQ(status, 1) << "written: " << flaky.written;
  EXPECT_GT(flaky.writes, t.failing) << "no write after the failed one";
  EXPECT_EQ(shown, std::string("avoidrec: ") + t.message + ": " + std::strerror(EIO) + "\n");
}

// Unbuffered, the prompt is the first write and each coefficient one more;
// a small buffer fills, and is written, in the middle of the result.
INSTANTIATE_TEST_SUITE_P(
    Driver, WriteError,
    ::testing::Values(write_error_case{"FirstCoefficient", _IONBF, 0, 2, "cannot write the result"},
                      write_error_case{"ThirdCoefficient", _IONBF, 0, 4, "cannot write the result"},
                      write_error_case{"SmallBufferFull", _IOFBF, 4, 2, "cannot write the result"}),
    [](const auto& info) { return std::string(info.param.name); });

#endif

}  // namespace
