#pragma once

// What the key-wait tests share: the program they run, what it shows, and
// how a test leads it to the wait.
//
// A helper that leads the program somewhere returns whether it got there,
// [[nodiscard]], for the test to assert; a helper that checks as it goes is
// called inside ASSERT_NO_FATAL_FAILURE. Either way a step that fails stops
// the test at once instead of leaving it to wait, seconds at a time, for what
// cannot come; the pty_shell then ends and reaps whatever it started.
//
// The tables' parameter structs live in this namespace, so that the one
// PrintTo below is found for each of them.
#include <gtest/gtest.h>

#include <concepts>
#include <ostream>
#include <string>

#include "pty_shell.h"

namespace pause_tests {

// The program under test: AVOIDREC_EXE in the environment, else this build's.
extern const char* const exe;

inline const std::string prompt = "enter word(ex. 00101) : ";
inline const std::string hint = "Press any key to continue . . . ";
inline const std::string worked_example = "0 2 0 0 0 -1 \r\n";

// The numbers glibc keeps for its threads: sigaction refuses them, but their
// default action ends a program all the same.
inline constexpr int first_reserved = 32;
inline constexpr int second_reserved = 33;

// Test names already say which case failed; the tables print just that.
inline constexpr auto by_name = [](const auto& info) { return info.param.name; };

// A table's case, in a failure's message, by its name alone. More
// constrained than GoogleTest's own PrintTo, so it is the one chosen.
template <class Case>
requires requires(const Case& c) {
  { c.name } -> std::convertible_to<std::string>;
}
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// Starts the program on s's terminal.
[[nodiscard]] ::testing::AssertionResult start(pty_shell& s, const launch& how = {});

// Waits for the prompt, types the word and waits for the key wait to begin.
[[nodiscard]] ::testing::AssertionResult up_to_the_wait(pty_shell& s, const std::string& typed);

// Whether the program sleeps in its wait with nothing to act on: asleep in
// pselect, no signal pending that it lets through there, and nothing in the
// terminal's input. Waits a few seconds for that state, and says what differs
// if it never comes.
[[nodiscard]] ::testing::AssertionResult waits_quietly(pty_shell& s, pid_t program = -1);

// The same, once the program has woken for the look at the terminal that it
// makes each second, and gone back to sleep: where a fault would show only
// at that look.
// `program` is the process that runs the program, where it is not the one
// the shell started.
[[nodiscard]] ::testing::AssertionResult waits_quietly_after_a_look(pty_shell& s,
                                                                    pid_t program = -1);

// Whether sig is pending for the process, blocked or not, by /proc.
bool pending_in(pid_t pid, int sig);

// Whether the process blocks sig now, by /proc.
bool blocked_by(pid_t pid, int sig);

// Continued in the foreground after any stop, the wait takes the terminal
// again, though the shell put its own settings back, and shows the hint anew.
void continue_in_the_foreground(pty_shell& s);

}  // namespace pause_tests
