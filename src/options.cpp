#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef AVOIDREC_VERSION
#error "AVOIDREC_VERSION, the project's version, is set by the build"
#endif

namespace {

constexpr const char* help =
    "Usage: avoidrec [--help | --version]\n"
    "\n"
    "Reads one word, such as 00101, from standard input and prints the\n"
    "coefficients P_0 .. P_L of the linear recurrence that counts the binary\n"
    "strings avoiding it, after the prompt \"enter word(ex. 00101) : \". When\n"
    "standard input is a terminal, it then waits for a key.\n"
    "\n"
    "  $ echo 00101 | avoidrec\n"
    "  enter word(ex. 00101) : 0 2 0 0 0 -1\n"
    "\n"
    "That is a_n = 2 a_(n-1) - a_(n-5).\n"
    "\n"
    "Options:\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Options may be shortened: --h, --vers.\n"
    "\n"
    "Exit status: 0 result written, 1 error (message on standard error),\n"
    "2 unexpected argument or unrecognized option, 128+n ended by signal n.\n"
    "Manual: man avoidrec (on Windows, README.txt beside avoidrec.exe).\n";

constexpr const char* version = "avoidrec " AVOIDREC_VERSION
                                "\n"
                                "Copyright 2026 the avoidrec authors.\n";

bool is(const char* argument, const char* option) {
  return std::strcmp(argument, option) == 0;
}

// Whether `argument` is "--" and then a non-empty beginning of `name`, as GNU
// programs take "--hel" for "--help".
bool abbreviates(std::string_view argument, std::string_view name) {
  constexpr std::string_view dashes = "--";
  if (argument.size() <= dashes.size() || argument.substr(0, dashes.size()) != dashes) return false;
  const std::string_view rest = argument.substr(dashes.size());
  return rest.size() <= name.size() && name.substr(0, rest.size()) == rest;
}

// The first argument alone: an option, "--", or none of them.
command_line read_first(const char* first) {
  if (is(first, "--")) return {};
  if (abbreviates(first, "help")) return {request::help};
  if (abbreviates(first, "version")) return {request::version};
  if (std::string_view(first).substr(0, 2) == "--") return {request::unrecognized_option, first};
  return {request::usage_error, first};
}

}  // namespace

command_line read_command_line(int argc, const char* const* argv) {
  if (argc <= 1) return {};
  command_line first = read_first(argv[1]);
  if (first.what == request::usage_error || first.what == request::unrecognized_option)
    return first;
  // Whatever follows a known first argument is out of place, "--" included:
  // the program takes no operands.
  if (argc > 2) return {request::usage_error, argv[2]};
  return first;
}

std::string quote_argument(std::string_view argument) {
  const auto plain = [](unsigned char byte) {
    constexpr unsigned char first_printable = 0x20;
    constexpr unsigned char last_printable = 0x7E;
    return byte >= first_printable && byte <= last_printable && byte != '\'';
  };
  const bool all_plain = std::all_of(argument.begin(), argument.end(),
                                     [&](char c) { return plain(static_cast<unsigned char>(c)); });
  std::string text = all_plain ? "'" : "$'";
  if (all_plain) {
    text.append(argument);
    return text + "'";
  }
  for (const char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\'' || c == '\\') {
      text += '\\';
      text += c;
    } else if (plain(byte)) {
      text += c;
    } else {
      constexpr int octal_digits = 3;
      char escape[octal_digits + 2];
      std::snprintf(escape, sizeof escape, "\\%03o", static_cast<unsigned>(byte));
      text += escape;
    }
  }
  return text + "'";
}

int answer(const command_line& line) {
  if (line.what == request::run) return 0;
  if (line.what == request::usage_error) {
    std::fprintf(stderr,
                 "avoidrec: unexpected argument %s\n"
                 "avoidrec reads the word from standard input: echo 00101 | avoidrec\n"
                 "Try 'avoidrec --help'.\n",
                 quote_argument(line.unexpected).c_str());
    return 2;
  }
  if (line.what == request::unrecognized_option) {
    std::fprintf(stderr,
                 "avoidrec: unrecognized option %s\n"
                 "Try 'avoidrec --help'.\n",
                 quote_argument(line.unexpected).c_str());
    return 2;
  }
  const bool asked_help = line.what == request::help;
  errno = 0;
  std::fputs(asked_help ? help : version, stdout);
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
  // Where the C library leaves errno at 0, as the Windows runtime may, there
  // is no reason to give but the plain fact.
  const int error = errno;
  std::fprintf(stderr, "avoidrec: cannot write the %s: %s\n", asked_help ? "help" : "version",
               error != 0 ? std::strerror(error) : "output error");
  return 1;
}
