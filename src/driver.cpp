#include "driver.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "fallback.h"

char word[word_capacity];
std::vector<rec> pre;
std::vector<rec> fb;

// pre[i] counts, with signs, the ways a partial match can reach prefix i;
// fb[i] is the term that leaves prefix i - 1 when the other symbol is read,
// taken from the prefix the match falls back to and shifted by the distance
// fallen back. Each position costs one fallback search (O(L^2)) and two
// polynomial operations (O(L)), so the build is O(L^3) with L <= 51.
const rec& build() {
  const auto L = static_cast<std::int32_t>(std::strlen(word));
  pre.assign(L, rec{});
  fb.assign(L + 1, rec{});
  pre[0] = rec{1, {1}};
  for (std::int32_t i = 1; i < L; ++i) {
    const std::int32_t j = fallback(word, i);
    fb[i] = shift(pre[j], i - j);
    pre[i] = sub(pre[i - 1], fb[i]);
  }
  const std::int32_t j = fallback(word, L);
  fb[L] = shift(pre[j], L - j);
  // P has L + 1 coefficients, as many as its longest term fb[L]; starting the
  // sum from that many zeros lets every addition reuse one array.
  rec sum{L + 1, std::vector<std::int32_t>(static_cast<std::size_t>(L) + 1, 0)};
  for (std::int32_t i = 1; i <= L; ++i) sum = add(std::move(sum), fb[i]);
  pre[0] = std::move(sum);
  return pre[0];
}

namespace {

constexpr const char* prompt = "enter word(ex. 00101) : ";

enum class input { word, none, too_long, failed };

// Reads one token into `word`. The read stops after word_capacity - 1 bytes so
// nothing is written past the buffer; if the byte after them is not white
// space, the token was longer than that and is reported, never truncated.
input read_word(std::FILE* in) {
  static_assert(word_capacity == 52, "the width in the format below must be word_capacity - 1");
  word[0] = '\0';
  if (std::fscanf(in, "%51s", word) != 1) return std::ferror(in) ? input::failed : input::none;
  const int next = std::fgetc(in);
  if (next != EOF && !std::isspace(next)) return input::too_long;
  // A token that starts with a NUL byte leaves a word of length 0.
  return word[0] == '\0' ? input::none : input::word;
}

// Writes the coefficients and the line break, and reports whether all of it
// reached the stream's destination.
bool print(const rec& p, std::FILE* out) {
  for (const std::int32_t c : p.coef) std::fprintf(out, "%d ", static_cast<int>(c));
  std::fputc('\n', out);
  return std::fflush(out) == 0 && !std::ferror(out);
}

}  // namespace

int run(std::FILE* in, std::FILE* out, std::FILE* err) {
  std::fputs(prompt, out);
  std::fflush(out);
  switch (read_word(in)) {
    case input::word:
      break;
    case input::none:
      std::fputs("avoidrec: no word entered\n", err);
      return 1;
    case input::too_long:
      std::fprintf(err, "avoidrec: word too long (at most %d characters)\n", word_capacity - 1);
      return 1;
    case input::failed:
      std::fprintf(err, "avoidrec: cannot read the word: %s\n", std::strerror(errno));
      return 1;
  }
  if (!print(build(), out)) {
    std::fprintf(err, "avoidrec: cannot write the result: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
