#include "driver.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "console.h"
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

enum class input { word, none, too_long, nul, failed };

// Reads the rest of a token that is too long, so that, at a terminal, the
// message waits for the token's end like a word does. Returns whether it
// ended at end of input.
bool skip_token(std::FILE* in) {
  int c = 0;
  while ((c = std::fgetc(in)) != EOF && std::isspace(c) == 0) {
  }
  return c == EOF;
}

// Skips white space and returns the last byte skipped, or 0 if there was
// none.
int skip_space(std::FILE* in) {
  int last = 0;
  int c = 0;
  while ((c = std::fgetc(in)) != EOF && std::isspace(c) != 0) last = c;
  if (c != EOF) std::ungetc(c, in);
  return last;
}

// How the input stood when the read of the word ended.
struct reading {
  bool at_end = false;         // it ended before white space after the token
  bool after_newline = false;  // the white space before the token ended a line
};

// Reads one token into `word`. The read stops after word_capacity - 1 bytes so
// nothing is written past the buffer; if the byte after them is not white
// space, the token was longer than that and is reported, never truncated. A
// NUL byte would silently cut the word short, so a token holding one, which
// is then longer than the string in `word`, is reported too. A read that
// fails anywhere up to and including the byte after the token is a failure,
// whatever part of the word it left. The rest of a token too long is read, to
// know how it ended, only from a terminal, never from an endless pipe.
input read_word(std::FILE* in, reading& how) {
  // NOLINTNEXTLINE(readability-magic-numbers): the width written in the format
  static_assert(word_capacity == 52, "the width in the format below must be word_capacity - 1");
  word[0] = '\0';
  how.after_newline = skip_space(in) == '\n';
  if (std::ferror(in) != 0) return input::failed;
  int end = 0;
  const int got = std::fscanf(in, "%51s%n", word, &end);
  if (std::ferror(in) != 0) return input::failed;
  if (got != 1) {
    how.at_end = true;
    return input::none;
  }
  const int next = std::fgetc(in);
  if (std::ferror(in) != 0) return input::failed;
  how.at_end = next == EOF;
  if (next != EOF && std::isspace(next) == 0) {
    if (is_terminal(in)) how.at_end = skip_token(in);
    return input::too_long;
  }
  if (std::strlen(word) != static_cast<std::size_t>(end)) return input::nul;
  return input::word;
}

// Whether the cursor on the terminal stands just after the prompt or after
// typed spaces (end of input with no word), or after the echo of a token that
// end of input ended (Ctrl-D, Ctrl-D), so that what follows needs a line of
// its own. An Enter typed before end of input has begun that line already.
// Pipes and files get their exact bytes. A failed read is ruled out first,
// since its message needs errno, which isatty may change.
bool leaves_line_open(input got, const reading& how, std::FILE* in, std::FILE* out) {
  if (!how.at_end || got == input::failed || !is_terminal(out)) return false;
  if (got == input::none) return !how.after_newline || !is_terminal(in);
  return is_terminal(in);
}

// Writes the coefficients and the line break, and reports whether all of it
// reached the stream's destination.
bool print(const rec& p, std::FILE* out) {
  for (const std::int32_t c : p.coef) std::fprintf(out, "%d ", static_cast<int>(c));
  std::fputc('\n', out);
  return std::fflush(out) == 0 && std::ferror(out) == 0;
}

// Writes "avoidrec: <what>: <reason>" for the error in errno and returns the
// failure status. Where the C library leaves errno at 0 (the Windows runtime
// does on a failed read), `plain` stands in for the reason.
int fail(std::FILE* err, const char* what, const char* plain) {
  const int error = errno;
  std::fprintf(err, "avoidrec: %s: %s\n", what, error != 0 ? std::strerror(error) : plain);
  return 1;
}

}  // namespace

int run(std::FILE* in, std::FILE* out, std::FILE* err) {
  errno = 0;
  std::fputs(prompt, out);
  if (std::fflush(out) != 0 || std::ferror(out) != 0)
    return fail(err, "cannot write the prompt", "output error");
  errno = 0;
  reading how;
  const input got = read_word(in, how);
  if (leaves_line_open(got, how, in, out)) std::fputc('\n', out);
  switch (got) {
    case input::word:
      break;
    case input::none:
      std::fputs("avoidrec: no word entered\n", err);
      return 1;
    case input::too_long:
      std::fprintf(err, "avoidrec: word too long (at most %d bytes)\n", word_capacity - 1);
      return 1;
    case input::nul:
      std::fputs("avoidrec: the word contains a NUL byte\n", err);
      return 1;
    case input::failed:
      return fail(err, "cannot read the word", "input error");
  }
  errno = 0;
  if (!print(build(), out)) return fail(err, "cannot write the result", "output error");
  return 0;
}
