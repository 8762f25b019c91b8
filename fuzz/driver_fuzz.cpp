// libFuzzer target: arbitrary bytes go to the console run as its standard
// input, and the run must end in exactly one of its two outcomes.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// Checks a result line for a word of L bytes: L + 1 numbers, each followed
// by one space, the first of them 0, then a line break.
void check_line(const std::string& line, std::size_t L) {
  require(!line.empty() && line.back() == '\n', "line ends with a line break");
  require(line.rfind("0 ", 0) == 0, "first number is 0");
  std::size_t numbers = 0;
  const char* p = line.c_str();
  while (*p != '\n') {
    char* end = nullptr;
    std::strtol(p, &end, 10);
    require(end != p && *end == ' ', "a number followed by one space");
    p = end + 1;
    ++numbers;
  }
  require(numbers == L + 1, "L + 1 numbers");
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
    require(err_s == "avoidrec: word too long (at most 51 characters)\n", "too long: message");
  } else if (token.empty()) {
    require(status == 1 && out_s == prompt, "no word: rejected without a result");
    require(err_s == "avoidrec: no word entered\n", "no word: message");
  } else if (token.find('\0') != std::string::npos) {
    require(status == 1 && out_s == prompt, "NUL byte: rejected without a result");
    require(err_s == "avoidrec: the word contains a NUL byte\n", "NUL byte: message");
  } else {
    require(status == 0 && err_s.empty(), "word: accepted without a message");
    check_line(out_s.substr(prompt.size()), token.size());
  }
  return 0;
}
