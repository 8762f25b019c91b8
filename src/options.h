#pragma once

#include <string>

// What the command line asks the program to do.
enum class request { run, help, version, usage_error };

// The command line as read: what it asks for and, for a usage error, the
// argument that was not understood.
struct command_line {
  request what = request::run;
  std::string unexpected{};
};

// Reads the arguments argv[1 .. argc - 1]. None, or "--" alone, asks for a
// run; "--help" or "--version" alone asks for that text. Anything else is a
// usage error naming the first argument out of place: the word is read from
// standard input, never from the command line, so "-", "" and a word are not
// understood either.
command_line read_command_line(int argc, const char* const* argv);

// Answers a request other than a run and returns the exit status. The help or
// the version goes to standard output, status 0, or status 1 with a message
// on standard error when it cannot be written; a usage error is three lines on
// standard error, status 2. Reads nothing.
int answer(const command_line& line);
