#include "options.h"

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
    "Exit status: 0 result written, 1 error (message on standard error),\n"
    "2 unexpected argument, 128+n ended by signal n.\n"
    "Manual: man avoidrec (on Windows, README.txt beside avoidrec.exe).\n";

constexpr const char* version = "avoidrec " AVOIDREC_VERSION
                                "\n"
                                "Copyright 2026 the avoidrec authors.\n";

bool is(const char* argument, const char* option) {
  return std::strcmp(argument, option) == 0;
}

}  // namespace

command_line read_command_line(int argc, const char* const* argv) {
  if (argc <= 1) return {};
  const char* first = argv[1];
  const bool known = is(first, "--") || is(first, "--help") || is(first, "--version");
  // Whatever follows a known first argument is out of place, "--" included:
  // the program takes no operands.
  if (!known) return {request::usage_error, first};
  if (argc > 2) return {request::usage_error, argv[2]};
  if (is(first, "--help")) return {request::help};
  if (is(first, "--version")) return {request::version};
  return {};
}

int answer(const command_line& line) {
  if (line.what == request::run) return 0;
  if (line.what == request::usage_error) {
    std::fprintf(stderr,
                 "avoidrec: unexpected argument '%s'\n"
                 "avoidrec reads the word from standard input: echo 00101 | avoidrec\n"
                 "Try 'avoidrec --help'.\n",
                 line.unexpected.c_str());
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
