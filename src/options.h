#pragma once

#include <string>
#include <string_view>

// What the command line asks the program to do.
enum class request { run, help, version, usage_error, unrecognized_option };

// The command line as read: what it asks for and, for a usage error or an
// unrecognized option, the argument that was not understood.
struct command_line {
  request what = request::run;
  std::string unexpected{};
};

// Reads the arguments argv[1 .. argc - 1]. None, or "--" alone, asks for a
// run. Only the first argument can be an option: "--" followed by a
// non-empty beginning of "help" or "version" ("--h", "--vers"), standing
// alone, asks for that text; any other first argument that starts with "--"
// is an unrecognized option. Anything else is a usage error naming the first
// argument out of place: the word is read from standard input, never from
// the command line, so "-h", "-", "" and a word are not understood either.
command_line read_command_line(int argc, const char* const* argv);

// Answers a request other than a run and returns the exit status. The help or
// the version goes to standard output, status 0, or status 1 with a message
// on standard error when it cannot be written; a usage error is three lines on
// standard error and an unrecognized option two, status 2. Reads nothing.
int answer(const command_line& line);

// An argument as a message shows it: between single quotes, '00101', or,
// where it holds a byte below 0x20, 0x7F, a byte from 0x80 up or a single
// quote, as $'...' with those bytes as octal escapes, a quote as \' and a
// backslash as \\ ($'\033[31mred'), so that no byte of it acts on the terminal
// and the text pasted into a shell that has $'...' (bash, zsh, ksh) gives
// the argument back.
std::string quote_argument(std::string_view argument);
