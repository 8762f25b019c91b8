// How much of a key is still to come after its first bytes, as the wait
// takes a key whose bytes arrive apart: checked against UTF-8's own table of
// lead and continuation bytes (RFC 3629) and the rule for ESC.
#include <gtest/gtest.h>

#include <string>

#include "key.h"

namespace {

struct key_case {
  std::string name;
  std::string bytes;  // what has come so far
  bool until_the_time_is_up;
  std::size_t left;
};

void PrintTo(const key_case& c, std::ostream* os) {
  *os << c.name;
}

class RestOfKey : public ::testing::TestWithParam<key_case> {};

TEST_P(RestOfKey, IsWhatTheLeadByteAnnouncesLessWhatCame) {
  const key_case& t = GetParam();
  const auto* bytes = reinterpret_cast<const unsigned char*>(t.bytes.data());
  const key_rest rest = rest_of(bytes, t.bytes.size());
  EXPECT_EQ(rest.until_the_time_is_up, t.until_the_time_is_up);
  EXPECT_EQ(rest.left, t.left);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RestOfKey,
    ::testing::Values(
        key_case{"Letter", "q", false, 0}, key_case{"Enter", "\r", false, 0},
        key_case{"Delete", "\x7f", false, 0},
        // ESC alone, or an escape sequence however much of it has come.
        key_case{"Escape", "\x1b", true, 0}, key_case{"ArrowUp", "\x1b[A", true, 0},
        key_case{"AltX", "\x1bx", true, 0},
        // Two, three and four bytes, whole or in part.
        key_case{"TwoBytesLead", "\xc3", false, 1}, key_case{"TwoBytesWhole", "\xc3\xa9", false, 0},
        key_case{"LowestTwoBytesLead", "\xc2", false, 1},
        key_case{"ThreeBytesLead", "\xe2", false, 2},
        key_case{"ThreeBytesTwo", "\xe2\x82", false, 1},
        key_case{"ThreeBytesWhole", "\xe2\x82\xac", false, 0},
        key_case{"FourBytesLead", "\xf0", false, 3}, key_case{"FourBytesTwo", "\xf0\x9f", false, 2},
        key_case{"FourBytesWhole", "\xf0\x9f\x98\x80", false, 0},
        key_case{"HighestLead", "\xf4", false, 3},
        // Bytes that lead no valid character: the key is whole at once.
        key_case{"Continuation", "\x80", false, 0}, key_case{"OverlongC0", "\xc0", false, 0},
        key_case{"OverlongC1", "\xc1", false, 0}, key_case{"PastTheLastF5", "\xf5", false, 0},
        key_case{"FF", "\xff", false, 0},
        // A byte that continues nothing ends the key where it stands.
        key_case{"BrokenAfterLead", "\xe2x", false, 0},
        key_case{"BrokenAfterOne", "\xf0\x9fx", false, 0},
        // More bytes than announced: the key is whole.
        key_case{"PastedAfterCharacter", "\xc3\xa9xyz", false, 0}),
    [](const auto& info) { return info.param.name; });

}  // namespace
