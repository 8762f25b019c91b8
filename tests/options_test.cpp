// The command line's reading and the quoting of arguments in messages.
#include "options.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct quote_case {
  std::string name;
  std::string argument;
  std::string shown;
};

// Test names already say which case failed; print just that.
void PrintTo(const quote_case& c, std::ostream* os) {
  *os << c.name;
}

class Quoted : public ::testing::TestWithParam<quote_case> {};

// What bash makes of a word: the bytes that `printf %s <word>` writes, the
// word read from a script as if pasted.
std::string bash_reads(const std::string& word) {
  char script[] = "/tmp/avoidrec-quoted-XXXXXX";
  const int fd = mkstemp(script);
  if (fd < 0) return "(no script)";
  const std::string text = "printf %s " + word + "\n";
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  std::string bytes = written ? "" : "(not written)";
  if (std::FILE* out = popen(("bash " + std::string(script)).c_str(), "r")) {
    char buffer[256];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
      bytes.append(buffer, got);
    pclose(out);
  }
  unlink(script);
  return bytes;
}

// Each argument is shown as the table says, and bash, given what is shown,
// reads the argument back byte for byte: nothing is lost, and no byte is
// left to act on the terminal.
TEST_P(Quoted, ShowsTheArgumentSoThatBashReadsItBack) {
  const quote_case& c = GetParam();
  const std::string shown = quote_argument(c.argument);
  EXPECT_EQ(shown, c.shown);
  for (const char byte : shown) {
    const auto b = static_cast<unsigned char>(byte);
    EXPECT_TRUE(b >= 0x20 && b < 0x7F) << "byte " << static_cast<int>(b) << " shown as it is";
  }
  EXPECT_EQ(bash_reads(shown), c.argument);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, Quoted,
    ::testing::Values(quote_case{"Word", "00101", "'00101'"}, quote_case{"Empty", "", "''"},
                      quote_case{"Spaces", "a b  c", "'a b  c'"},
                      quote_case{"Dollar", "$HOME `x` \"y\"", "'$HOME `x` \"y\"'"},
                      quote_case{"Backslash", "a\\b", "'a\\b'"},
                      quote_case{"Quote", "it's", "$'it\\'s'"},
                      quote_case{"QuoteAndBackslash", "'\\", "$'\\'\\\\'"},
                      quote_case{"Escape", "\x1b[31mred", "$'\\033[31mred'"},
                      quote_case{"Newline", "a\nb", "$'a\\012b'"},
                      quote_case{"Tab", "\t", "$'\\011'"}, quote_case{"Delete", "\x7f", "$'\\177'"},
                      quote_case{"HighBytes", "\x80\xc3\xa9\xff", "$'\\200\\303\\251\\377'"},
                      quote_case{"EscapeAndBackslash", "\x1b\\", "$'\\033\\\\'"}),
    [](const auto& info) { return info.param.name; });

struct line_case {
  std::string name;
  std::vector<std::string> args;
  request what;
  std::string unexpected;
};

void PrintTo(const line_case& c, std::ostream* os) {
  *os << c.name;
}

class CommandLine : public ::testing::TestWithParam<line_case> {};

TEST_P(CommandLine, IsReadAsTheTableSays) {
  const line_case& c = GetParam();
  std::vector<const char*> argv = {"avoidrec"};
  for (const std::string& a : c.args) argv.push_back(a.c_str());
  const command_line line = read_command_line(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(line.what, c.what);
  EXPECT_EQ(line.unexpected, c.unexpected);
}

// Long options may be shortened to any non-empty beginning, as GNU programs
// take them; only the first argument is an option.
INSTANTIATE_TEST_SUITE_P(
    Lists, CommandLine,
    ::testing::Values(
        line_case{"None", {}, request::run, ""}, line_case{"DoubleDash", {"--"}, request::run, ""},
        line_case{"Help", {"--help"}, request::help, ""},
        line_case{"H", {"--h"}, request::help, ""}, line_case{"Hel", {"--hel"}, request::help, ""},
        line_case{"Version", {"--version"}, request::version, ""},
        line_case{"V", {"--v"}, request::version, ""},
        line_case{"Vers", {"--vers"}, request::version, ""},
        line_case{"HelpTooLong", {"--helpx"}, request::unrecognized_option, "--helpx"},
        line_case{"HelpWithValue", {"--help=x"}, request::unrecognized_option, "--help=x"},
        line_case{"Verbose", {"--verbose"}, request::unrecognized_option, "--verbose"},
        line_case{"ThreeDashes", {"---"}, request::unrecognized_option, "---"},
        line_case{"Unknown", {"--x", "00101"}, request::unrecognized_option, "--x"},
        line_case{"ShortH", {"-h"}, request::usage_error, "-h"},
        line_case{"Word", {"00101"}, request::usage_error, "00101"},
        line_case{"HExtra", {"--h", "extra"}, request::usage_error, "extra"},
        line_case{"DoubleDashH", {"--", "--h"}, request::usage_error, "--h"},
        line_case{"VersHelp", {"--vers", "--help"}, request::usage_error, "--help"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
