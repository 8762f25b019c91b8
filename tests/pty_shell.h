#pragma once

// A pseudo-terminal with a small job-control shell on it that runs one
// program as its job, for tests that drive the program as a person at a
// console would.
//
// The shell does what bash does where it matters to a program that changes
// the terminal: it leads the terminal's session, runs the program as the
// foreground job in a process group of its own, takes the terminal back and
// puts its own settings back when the job stops, continues the job in the
// foreground or the background on command, and passes a hang-up on to the
// job before it exits. Everything it started is killed and reaped when the
// pty_shell goes, whatever the test's outcome, so a test may stop anywhere.
//
// A step that cannot be made returns a failure for the test to assert, with
// the reason, and is [[nodiscard]]: a test that goes on past a failed step
// only waits, seconds at a time, for what can no longer come.
//
// Linux only: <pty.h>, a child subreaper, /proc.

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// How the program meets the terminal.
enum class terminal_use {
  job,  // the foreground job of the shell, which leads the terminal's session
  // A session of its own that it leads, with the terminal as its controlling
  // terminal, as a terminal window, tmux or `ssh -t` starts a program: its
  // process group is orphaned, so the kernel discards the stops that the
  // terminal's signals would make.
  no_job_control,
  // A session of its own with no controlling terminal: the terminal is just
  // a file that it reads.
  other_terminal,
};

// Standard error closed, as `2>&-` leaves it.
inline constexpr int stderr_closed = -2;

// How the program is started, apart from its terminal.
struct launch {
  terminal_use use = terminal_use::job;
  int stderr_fd = -1;  // standard error: the terminal if -1, else stderr_closed or this file
  bool stdin_read_only = false;  // standard input is the terminal opened for reading only
  // Standard input is a pipe that holds just this, if set.
  std::optional<std::string> piped_input{};
  bool ignore_hangup = false;
  bool ignore_ttin = false;  // SIGTTIN ignored, as a parent may leave it
  bool ignore_ttou = false;  // and SIGTTOU
  rlim_t file_size_limit = RLIM_INFINITY;
  std::vector<std::string> tracer{};  // a command the program runs under: strace and its options
  // Signals blocked at start, each also sent to the program before it
  // starts, so that it is pending, as a parent may leave them. Any number,
  // the C library's reserved ones included.
  std::vector<int> blocked_and_pending{};
  // The shell outlives its job: when the job ends it takes the terminal
  // back and stays, as an interactive shell does.
  bool shell_stays = false;
};

// What the shell reports on each change of the job's state: the wait status,
// and the terminal's settings as the shell found them, before it put its own
// back on a stop.
struct report {
  int status = -1;
  termios found{};
};

class pty_shell {
 public:
  // Opens the terminal and records its settings in `before`.
  pty_shell();
  pty_shell(const pty_shell&) = delete;
  pty_shell& operator=(const pty_shell&) = delete;
  ~pty_shell();

  // Starts the shell, which starts `exe` (under how.tracer, if any). Fails if
  // either could not be started, `exe` not found for one.
  [[nodiscard]] ::testing::AssertionResult start(const std::string& exe, const launch& how = {});

  // Writes keys to the terminal, as typed.
  [[nodiscard]] ::testing::AssertionResult type(const std::string& keys) const;
  // Sends sig to the program alone, or to its whole process group as
  // `kill %1` does.
  [[nodiscard]] ::testing::AssertionResult signal(int sig) const;
  [[nodiscard]] ::testing::AssertionResult signal_group(int sig) const;
  // Sends sig and waits for the shell to report that it stopped the program.
  [[nodiscard]] bool stop(int sig, report& r);
  // Continues the stopped job as `fg` does (the terminal's foreground first)
  // or as `bg` does.
  [[nodiscard]] ::testing::AssertionResult fg() const;
  // Brings a job that runs in the background to the foreground without a
  // continue, as bash's `fg` does.
  [[nodiscard]] ::testing::AssertionResult fg_running() const;
  [[nodiscard]] ::testing::AssertionResult bg() const;

  // The terminal's settings now.
  termios settings() const;
  // Sets them, as `stty` at the shell does.
  void set_settings(const termios& t) const;
  // Locks the settings that are set in `locked` against change, as a
  // system administrator can (TIOCSLCKTRMIOS, which needs CAP_SYS_ADMIN).
  // Returns 0, or the error that refused it.
  int lock_settings(const termios& locked) const;
  // Makes the terminal's open file, which the program shares, non-blocking,
  // as another program sharing it may leave it.
  void make_nonblocking() const;

  // Waits a few seconds for the shell's next report, reading the screen
  // meanwhile. False if none came, or the shell has gone.
  bool next_report(report& r);
  // Whether the shell has nothing to report now.
  bool unchanged() const;
  // Waits a few seconds for the program to end, through stops and
  // continues, bringing it back to the foreground at each stop if
  // `fg_at_stops`, and reaps it itself if the shell has gone first. Returns
  // its exit status, or 128 plus the signal that ended it, or -1.
  int status(bool fg_at_stops = false);

  // Reads the screen until `done` holds or five seconds have passed; false
  // if it never held.
  bool within_seconds(const std::function<bool()>& done);
  // The same for text on the screen and for raw mode, but these give up as
  // soon as the shell has gone, which it does once the program has ended:
  // then neither can come any more.
  bool wait_for_text(const std::string& text);
  bool wait_for_raw_mode();
  // Reads what the program shows for up to `wait`, or less if something
  // comes or the shell reports meanwhile.
  void read_screen(std::chrono::milliseconds wait);
  // Reads the screen until nothing more has come for `quiet`.
  void read_rest(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));

  // The number of bytes left in the terminal's input for whatever reads it
  // next. Leaves the terminal non-canonical, since canonical mode would hide
  // an unfinished line, such as the rest of a key.
  int input_left() const;
  // The number of bytes in the terminal's input not yet read, leaving its
  // settings alone.
  int queued() const;
  // Takes whatever the terminal's input holds, as another reader of the
  // terminal would, and returns the number of bytes taken.
  int take_input() const;

  // Hangs the terminal up, as closing a terminal window does.
  void hang_up();

  // Records the tracer's pid, so that it is ended and reaped with the rest.
  void note_tracer();
  // Waits for the tracer to end, once the program has.
  void reap_tracer();

  pid_t pid() const { return program; }
  // The terminal's settings when the pty_shell was made.
  termios before{};
  // Everything the terminal has shown since the start, unless a test cleared it.
  std::string screen;

 private:
  // Waits for `done` as within_seconds does, or until the shell has gone and
  // what the program showed before it ended has been read.
  bool while_the_shell_runs(const std::function<bool()>& done);
  bool shell_gone() const;
  // A failure for a command to the shell that could not be written.
  ::testing::AssertionResult command(char c) const;

  pid_t shell = -1;
  pid_t program = -1;  // leads its own process group
  bool ended = false;
  pid_t tracer = -1;
  int master = -1;
  int slave = -1;  // kept open here to read the terminal's settings
  int commands = -1;
  int reports = -1;
};

// Whether the settings are raw mode: no line editing, echo, signal keys,
// implementation-defined processing or flow control.
bool raw_mode(const termios& t);

// Whether two settings agree in every flag and control character.
bool same_settings(const termios& a, const termios& b);

// Whether the report is a stop by sig.
bool stopped_by(const report& r, int sig);

// A wait status as a shell's $? shows it: the exit status, or 128 plus the
// signal that ended the process.
int exit_code(int status);
