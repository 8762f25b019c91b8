// libFuzzer target: arbitrary bytes go to the console run as its standard
// input, and the run must end in exactly one of its two outcomes. A result
// line must hold the right values: for a word over two symbols those of the
// closed form, and for any word those of the word with its bytes renamed,
// since only which bytes are equal may matter.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "closed_form.h"
#include "driver.h"

namespace {

const std::string prompt = "enter word(ex. 00101) : ";

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "outcome check failed: %s\n", what);
  std::abort();
}

// What the input holds, found independently of the program: the first
// whitespace-delimited token, as raw bytes.
std::string first_token(const std::vector<char>& in) {
  std::size_t k = 0;
  while (k < in.size() && std::isspace(static_cast<unsigned char>(in[k]))) ++k;
  std::size_t end = k;
  while (end < in.size() && !std::isspace(static_cast<unsigned char>(in[end]))) ++end;
  return std::string(in.begin() + static_cast<std::ptrdiff_t>(k),
                     in.begin() + static_cast<std::ptrdiff_t>(end));
}

// Reads a result line: numbers each followed by one space, then a line
// break.
std::vector<std::int64_t> numbers_of(const std::string& line) {
  require(!line.empty() && line.back() == '\n', "line ends with a line break");
  std::vector<std::int64_t> numbers;
  const char* p = line.c_str();
  while (*p != '\n') {
    char* end = nullptr;
    numbers.push_back(std::strtoll(p, &end, 10));
    require(end != p && *end == ' ', "a number followed by one space");
    p = end + 1;
  }
  return numbers;
}

// The coefficients built for the word with its bytes renamed.
std::vector<std::int64_t> built_renamed(const std::string& token) {
  const std::string name = renamed(token);
  std::memcpy(word, name.c_str(), name.size() + 1);
  const rec& p = build();
  return {p.coef.begin(), p.coef.end()};
}

// Checks the result line for an accepted word.
void check_line(const std::string& line, const std::string& token) {
  const std::vector<std::int64_t> numbers = numbers_of(line);
  require(numbers.size() == token.size() + 1, "L + 1 numbers");
  require(numbers[0] == 0, "first number is 0");
  if (renamed(token).find_first_not_of("ab") == std::string::npos) {
    const std::vector<std::int32_t> want = closed_form(token);
    require(numbers == std::vector<std::int64_t>(want.begin(), want.end()),
            "values of the closed form");
  }
  require(numbers == built_renamed(token), "same values for the word with its bytes renamed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> input(data, data + size);
  input.push_back('\0');  // fmemopen needs a buffer even for empty input
  std::FILE* in = fmemopen(input.data(), size, "r");
  char* out_text = nullptr;
  char* err_text = nullptr;
  std::size_t out_size = 0, err_size = 0;
  std::FILE* out = open_memstream(&out_text, &out_size);
  std::FILE* err = open_memstream(&err_text, &err_size);
  require(in && out && err, "streams open");

  const int status = run(in, out, err);
  std::fclose(in);
  std::fclose(out);
  std::fclose(err);
  const std::string out_s(out_text, out_size), err_s(err_text, err_size);
  std::free(out_text);
  std::free(err_text);

  input.pop_back();
  const std::string token = first_token(input);
  require(out_s.rfind(prompt, 0) == 0, "prompt first");
  if (token.size() >= word_capacity) {
    require(status == 1 && out_s == prompt, "too long: rejected without a result");
    require(err_s == "avoidrec: word too long (at most 51 bytes)\n", "too long: message");
  } else if (token.empty()) {
    require(status == 1 && out_s == prompt, "no word: rejected without a result");
    require(err_s == "avoidrec: no word entered\n", "no word: message");
  } else if (token.find('\0') != std::string::npos) {
    require(status == 1 && out_s == prompt, "NUL byte: rejected without a result");
    require(err_s == "avoidrec: the word contains a NUL byte\n", "NUL byte: message");
  } else {
    require(status == 0 && err_s.empty(), "word: accepted without a message");
    check_line(out_s.substr(prompt.size()), token);
  }
  return 0;
}
