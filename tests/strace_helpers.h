#pragma once

// Races reached exactly: the program runs under strace, which logs its
// system calls or delivers a signal, an error or a delay at one given call;
// and what a process is doing now, as /proc shows it.
#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_shell.h"

namespace pause_tests {

// Whether strace was found when the tests were built; without it the tests
// that need it are skipped.
bool have_strace();

// The system calls that wait for the rest of a key, wherever they exist.
inline const std::string waits_for_the_rest = "?poll,ppoll,?select,pselect6";

// The strace command that runs the program as the shell's own job (its
// tracer detached in a group of its own), traces `calls` and does `action`
// to them: logs them, or injects at one.
std::vector<std::string> strace(const std::string& calls, const std::vector<std::string>& action);

// How to start the program under that command.
launch traced(const std::string& calls, const std::vector<std::string>& action);

// How much strace shows of each call's arguments: its abbreviations, or
// everything, every field of a structure included (strace -v).
enum class detail { brief, in_full };

// The program's calls of `calls`, as strace logs them, in a run that ends
// the wait with a key.
[[nodiscard]] ::testing::AssertionResult logged_calls(const std::string& calls, detail shown,
                                                      std::vector<std::string>& lines);

// Landmarks among the program's calls, numbered from 1 as strace's `when`
// counts them, ioctl and read calls apart: the ioctl call that enters raw
// mode, the read of the key, and the ioctl call that puts the settings back
// for good. A signal injected at a call arrives before the call is made, so
// one meant to come after a call is injected at the next.
struct landmarks {
  int raw = 0;
  int key_read = 0;
  int restore = 0;
  // The wait for the rest of a key: the first wait call (of
  // waits_for_the_rest) after the key's read, counted among those calls.
  int rest_wait = 0;
};

// Finds the landmarks in a logged run, by what each call does to the
// terminal, whichever request makes it. Fails, naming the landmark and
// showing the calls, where one is missing.
[[nodiscard]] ::testing::AssertionResult find_landmarks(landmarks& found);

// The system call a process is in, from /proc, or -1 if it runs.
long blocked_in(pid_t pid);

// A process's state, as /proc shows it after its name: 'S' sleeps in the
// kernel, 't' is held by its tracer; 0 if it has gone.
char state_of(pid_t pid);

// Whether a process sleeps in the kernel, not stopped by its tracer.
bool sleeping(pid_t pid);

// Whether the program is in a call that waits for the rest of a key.
bool awaiting_the_rest(pid_t pid);

}  // namespace pause_tests
