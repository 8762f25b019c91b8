// The wait for a key under signals, as a shell, a terminal window and other
// programs send them: the ones that end the program, the ones it leaves
// alone, stops and continues in the foreground and the background, settings
// changed while it is stopped, and the terminal hung up. However the program
// ends, stops or goes on, the terminal is left as it was found.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "pause_common.h"
#include "pty_shell.h"
#include "strace_helpers.h"

namespace pause_tests {

namespace {

using namespace std::chrono_literals;

// The members of a process group.
std::vector<pid_t> members_of(pid_t group) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (getpgid(pid) == group) found.push_back(pid);
  }
  return found;
}

// The member of a process group that runs the program, or -1.
pid_t program_in(pid_t group) {
  const std::string program = std::filesystem::path(exe).filename().string().substr(0, 15);
  for (pid_t pid : members_of(group)) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == program) return pid;
  }
  return -1;
}

// The times a process has begun to sleep (its voluntary switches), or -1.
long long sleeps_begun(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  const std::string name = "voluntary_ctxt_switches:";
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(name, 0) == 0) return std::stoll(line.substr(name.size()));
  }
  return -1;
}

// The terminal's foreground process group as a process sees it, by /proc,
// or -1.
pid_t foreground_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  std::string field;
  for (int i = 3; i <= 8 && fields >> field; ++i) {
  }
  return fields ? static_cast<pid_t>(std::stol(field)) : -1;
}

// Whether every member of the group is stopped, and there is one at least.
bool all_stopped(pid_t group) {
  const std::vector<pid_t> members = members_of(group);
  for (pid_t pid : members) {
    if (state_of(pid) != 'T') return false;
  }
  return !members.empty();
}

}  // namespace

// ---- Every signal that ends the program --------------------------------

struct signal_case {
  std::string name;
  int sig;
  // The signal waits for the key, so that it acts with the terminal put back.
  bool after_key = false;
};

class EndingSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(EndingSignal, EndsTheProgramByThatSignalWithTheTerminalAsFound) {
  const signal_case& t = GetParam();
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  ASSERT_TRUE(s.signal(t.sig));
  if (t.after_key) {
    ASSERT_TRUE(waits_quietly(s)) << "ended before the key";
    EXPECT_TRUE(pending_in(s.pid(), t.sig)) << "not held";
    ASSERT_TRUE(s.type("q"));
  }
  EXPECT_EQ(s.status(), 128 + t.sig) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// Classic ones, the hang-up a shell passes on, real-time ones, ones that are
// normally synchronous but sent by kill here, and the C library's own.
INSTANTIATE_TEST_SUITE_P(
    Signals, EndingSignal,
    ::testing::Values(signal_case{"Term", SIGTERM}, signal_case{"Int", SIGINT},
                      signal_case{"Quit", SIGQUIT}, signal_case{"Usr1", SIGUSR1},
                      signal_case{"Alrm", SIGALRM}, signal_case{"Pwr", SIGPWR},
                      signal_case{"Io", SIGIO}, signal_case{"Hup", SIGHUP},
                      signal_case{"RtMin", SIGRTMIN}, signal_case{"RtMax", SIGRTMAX},
                      signal_case{"SegvByKill", SIGSEGV}, signal_case{"SysByKill", SIGSYS},
                      signal_case{"Reserved32", first_reserved, true},
                      signal_case{"Reserved33", second_reserved, true}),
    by_name);

// Signals whose default is to be ignored, such as a resized window's, and a
// continue that follows no stop, leave the wait alone, the screen included.
class IgnoredSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(IgnoredSignal, LeavesTheWaitAlone) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  s.screen.clear();
  ASSERT_TRUE(s.signal(GetParam().sig));
  ASSERT_TRUE(waits_quietly(s)) << "the signal ended the wait";
  s.read_rest();
  EXPECT_TRUE(s.unchanged()) << "the signal ended the wait";
  EXPECT_EQ(s.screen, "") << "the signal changed the screen";
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

INSTANTIATE_TEST_SUITE_P(Signals, IgnoredSignal,
                         ::testing::Values(signal_case{"Winch", SIGWINCH},
                                           signal_case{"Chld", SIGCHLD}, signal_case{"Urg", SIGURG},
                                           signal_case{"Cont", SIGCONT}),
                         by_name);

// A key typed during the wait but not yet read when an ending signal comes
// is dropped with the settings put back, as at the normal end: it does not
// reach the shell. The program is held by SIGSTOP, with no shell to take the
// terminal meanwhile, while the key is typed and SIGTERM sent.
TEST(EndingSignal, DropsTheKeysTypedAhead) {
  launch how;
  how.use = terminal_use::no_job_control;
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  ASSERT_TRUE(s.stop(SIGSTOP, r)) << r.status;
  ASSERT_TRUE(s.type("x"));
  ASSERT_TRUE(s.within_seconds([&] { return s.queued() == 1; })) << "the key was not queued";
  ASSERT_TRUE(s.signal(SIGTERM));
  ASSERT_TRUE(s.signal(SIGCONT));
  EXPECT_EQ(s.status(), 128 + SIGTERM) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  EXPECT_EQ(s.input_left(), 0) << "the key typed during the wait was left for the shell";
}

// A signal already pending when the program is continued ends it before the
// wait takes the terminal again: the hint is not shown again, and no key
// typed meanwhile is dropped by a raw entry that comes to nothing.
enum class pending_at_continue {
  term,    // `kill -TSTP`, `kill -TERM`, then `fg`
  hangup,  // stopped under `sh -c`, the sh killed: the kernel sends SIGHUP and
           // SIGCONT to the stopped group it orphans
};

struct pending_case {
  std::string name;
  pending_at_continue how;
  int status;
};

class PendingSignal : public ::testing::TestWithParam<pending_case> {};

TEST_P(PendingSignal, EndsTheProgramBeforeTheHintComesAgain) {
  const pending_case& t = GetParam();
  launch how;
  if (t.how == pending_at_continue::hangup) {
    how.shell_stays = true;
    how.tracer = {"/bin/sh", "-c", "\"$0\"; echo after"};
  }
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  const pid_t program = program_in(s.pid());
  ASSERT_GT(program, 0) << "the program is not in the job";
  ASSERT_EQ(kill(program, SIGTSTP), 0);
  ASSERT_TRUE(s.within_seconds([&] { return state_of(program) == 'T'; })) << "not stopped";
  s.read_rest();
  s.screen.clear();
  int status = 0;
  if (t.how == pending_at_continue::term) {
    report r;
    ASSERT_TRUE(s.next_report(r) && stopped_by(r, SIGTSTP)) << r.status;
    ASSERT_TRUE(s.signal(SIGTERM));
    ASSERT_TRUE(s.fg());
    status = s.status();
  } else {
    kill(s.pid(), SIGKILL);
    ASSERT_TRUE(s.within_seconds([&] { return waitpid(program, &status, WNOHANG) == program; }))
        << "still there, in state " << state_of(program);
    status = exit_code(status);
  }
  EXPECT_EQ(status, t.status);
  s.read_rest();
  EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the hint came again: " << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

INSTANTIATE_TEST_SUITE_P(Signals, PendingSignal,
                         ::testing::Values(pending_case{"TermSentWhileStopped",
                                                        pending_at_continue::term, 128 + SIGTERM},
                                           pending_case{"HangupOfTheOrphanedGroup",
                                                        pending_at_continue::hangup, 128 + SIGHUP}),
                         by_name);

// A real fault in the program, raised by the kernel while the main line
// runs, is met by the handler too, whichever fault signal it is: the
// terminal is put back and the program ends by the fault's signal. gdb
// makes the fault in the waiting program: it moves the program's counter
// to address 0, or writes an instruction that faults where the counter
// stands, and lets the program go on. SIGSYS comes from a seccomp filter
// that traps one system call number, installed by the program's own
// system calls as gdb steps them, and then that call. The instructions are
// x86-64's.
struct fault_case {
  std::string name;
  int sig;
  std::vector<std::string> commands;  // gdb's, once attached
};

class Fault : public ::testing::TestWithParam<fault_case> {};

TEST_P(Fault, PutsTheTerminalBackAndEndsByItsSignal) {
  const fault_case& t = GetParam();
  if (std::strlen(AVOIDREC_GDB) == 0) GTEST_SKIP() << "gdb is not installed";
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  ASSERT_TRUE(waits_quietly(s));
  const std::string pid = std::to_string(s.pid());
  std::vector<std::string> words = {AVOIDREC_GDB, "-nx", "-batch", "-p", pid};
  for (const std::string& command : t.commands) words.insert(words.end(), {"-ex", command});
  words.insert(words.end(), {"-ex", "detach"});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t gdb = fork();
  if (gdb == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ASSERT_GT(gdb, 0);
  int gdb_status = 0;
  ASSERT_EQ(waitpid(gdb, &gdb_status, 0), gdb);
  EXPECT_EQ(exit_code(gdb_status), 0) << "gdb failed";
  EXPECT_EQ(s.status(), 128 + t.sig) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings())) << "the terminal was left raw";
}

namespace {

// The commands that make the system call whose number and arguments
// `registers` sets, by the instruction gdb has written at the counter
// (`syscall`), stepped, and the counter moved back to it for the next.
std::vector<std::string> system_call(const std::vector<std::string>& registers) {
  std::vector<std::string> commands;
  for (const std::string& r : registers) commands.push_back("set " + r);
  commands.insert(commands.end(), {"stepi", "set $pc = $pc - 2"});
  return commands;
}

std::vector<fault_case> faults() {
  std::vector<fault_case> made = {{"Segv", SIGSEGV, {"set $pc = 0"}}};
#ifdef __x86_64__
  // The sleep gdb interrupted is not made again, so the fault comes at once.
  const std::string at_the_counter = "set $orig_rax = -1";
  // Room at the stack's far end, below what the program uses.
  const std::string room = "($sp - 512)";
  const std::string room_after = "($sp - 560)";
  std::vector<std::string> syscall_here = {at_the_counter,
                                           "set {unsigned char[2]}$pc = {0x0f, 0x05}"};
  // A system call number that no kernel has, trapped by a filter that loads
  // the call's number and traps that one, allowing the rest.
  const std::string trapped = "999";
  std::vector<std::string> sys = syscall_here;
  sys.insert(sys.end(), {"set {unsigned long long[4]}" + room + " = {0x20, (" + trapped +
                             "ULL << 32) | 0x01000015, 0x0003000000000006, 0x7fff000000000006}",
                         "set {unsigned long long[2]}" + room_after + " = {4, " + room + "}"});
  for (const auto& call :
       {system_call({"$rax = 157", "$rdi = 38", "$rsi = 1", "$rdx = 0", "$r10 = 0",
                     "$r8 = 0"}),  // prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0)
        system_call({"$rax = 317", "$rdi = 1", "$rsi = 0",
                     "$rdx = " + room_after})})  // seccomp(SECCOMP_SET_MODE_FILTER, 0, filter)
    sys.insert(sys.end(), call.begin(), call.end());
  sys.push_back("set $rax = " + trapped);
  // A read past the end of a file mapped: an empty one from memfd_create.
  std::vector<std::string> bus = syscall_here;
  bus.push_back("set {unsigned char[2]}" + room + " = {0x78, 0}");
  for (const auto& call :
       {system_call({"$rax = 319", "$rdi = " + room, "$rsi = 0"}),  // memfd_create("x", 0)
        {"set $fd = $rax"},
        system_call({"$rax = 9", "$rdi = 0", "$rsi = 4096", "$rdx = 1", "$r10 = 1", "$r8 = $fd",
                     "$r9 = 0"})})  // mmap(0, 4096, PROT_READ, MAP_SHARED, fd, 0)
    bus.insert(bus.end(), call.begin(), call.end());
  bus.push_back("set {unsigned char[2]}$pc = {0x8b, 0x00}");  // mov eax, [rax]
  made.insert(
      made.end(),
      {
          {"Ill", SIGILL, {at_the_counter, "set {unsigned char[2]}$pc = {0x0f, 0x0b}"}},  // ud2
          // xor ecx, ecx; idiv ecx
          {"Fpe", SIGFPE, {at_the_counter, "set {unsigned char[4]}$pc = {0x31, 0xc9, 0xf7, 0xf9}"}},
          {"Trap", SIGTRAP, {at_the_counter, "set {unsigned char}$pc = 0xcc"}},  // int3
          {"Bus", SIGBUS, bus},
          {"Sys", SIGSYS, sys},
      });
#endif
  return made;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Signals, Fault, ::testing::ValuesIn(faults()), by_name);

// ---- Stops, as a shell and a terminal window meet them -----------------

// A terminal that is not the program's controlling terminal has no
// foreground group to wait for: the wait takes it as it is.
TEST(OtherTerminal, OneKeyEndsTheWait) {
  launch how;
  how.use = terminal_use::other_terminal;
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

struct stop_case {
  std::string name;
  int sig;
  int times;
  // With no job control the kernel discards the stop: the program goes on.
  terminal_use use = terminal_use::job;
  // The parent blocked SIGCONT: no handler tells of `fg`, only the look the
  // wait makes each second.
  bool cont_blocked = false;
};

namespace {

const std::vector<stop_case> stops = {
    {"Sigstop", SIGSTOP, 1},
    {"SigstopContBlocked", SIGSTOP, 1, terminal_use::job, true},
    {"SigtstpContBlocked", SIGTSTP, 1, terminal_use::job, true},
    {"Sigtstp", SIGTSTP, 1},
    {"SigtstpTwice", SIGTSTP, 2},
    {"SigttinTwice", SIGTTIN, 2},
    {"SigttouTwice", SIGTTOU, 2},
    {"SigtstpDiscarded", SIGTSTP, 2, terminal_use::no_job_control},
    {"SigttinDiscarded", SIGTTIN, 2, terminal_use::no_job_control},
    {"SigttouDiscarded", SIGTTOU, 2, terminal_use::no_job_control},
};

// A stop that the kernel discards puts nothing right: the wait goes on in
// raw mode, with neither the shell told nor the hint shown again.
void stop_discarded(pty_shell& s, int sig) {
  s.screen.clear();
  ASSERT_TRUE(s.signal(sig));
  ASSERT_TRUE(waits_quietly(s));
  s.read_rest();
  EXPECT_TRUE(s.unchanged()) << "the program stopped or ended";
  EXPECT_TRUE(raw_mode(s.settings())) << "the wait went on in line mode";
  EXPECT_EQ(s.screen, "");
}

std::vector<stop_case> stops_under_job_control() {
  std::vector<stop_case> kept;
  for (const stop_case& c : stops)
    if (c.use == terminal_use::job) kept.push_back(c);
  return kept;
}

}  // namespace

class Stop : public ::testing::TestWithParam<stop_case> {};

// A stop the program can catch puts the terminal back before it; SIGSTOP
// leaves that to the shell. Each time, `fg` brings the wait back, and at the
// end one key ends it with the terminal as found.
TEST_P(Stop, FgWaitsAgainAndTheTerminalIsAsFound) {
  const stop_case& t = GetParam();
  launch how;
  how.use = t.use;
  if (t.cont_blocked) how.blocked_and_pending = {SIGCONT};
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  for (int i = 1; i <= t.times; ++i) {
    SCOPED_TRACE("stop " + std::to_string(i));
    if (t.use == terminal_use::no_job_control) {
      ASSERT_NO_FATAL_FAILURE(stop_discarded(s, t.sig));
      continue;
    }
    report r;
    ASSERT_TRUE(s.stop(t.sig, r)) << r.status;
    if (t.sig != SIGSTOP) {
      EXPECT_TRUE(same_settings(s.before, r.found)) << "the terminal was left raw at the stop";
    }
    ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
  }
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
  EXPECT_EQ(s.input_left(), 0);
}

INSTANTIATE_TEST_SUITE_P(Stops, Stop, ::testing::ValuesIn(stops), by_name);

class StopAndStty : public ::testing::TestWithParam<stop_case> {};

// Settings changed at the shell while the program is stopped, as `stty erase
// ^H` changes them, are the ones the program puts back at the end, and at
// the next stop.
TEST_P(StopAndStty, KeepsTheSettingsMadeWhileStopped) {
  const stop_case& t = GetParam();
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  termios expected = s.before;
  for (int i = 1; i <= t.times; ++i) {
    SCOPED_TRACE("stop " + std::to_string(i));
    report r;
    ASSERT_TRUE(s.stop(t.sig, r)) << r.status;
    if (t.sig != SIGSTOP) {
      EXPECT_TRUE(same_settings(expected, r.found)) << "the settings put back at the stop";
    }
    expected.c_cc[VERASE] = '\b';
    s.set_settings(expected);
    ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
  }
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_EQ(s.settings().c_cc[VERASE], '\b');
  EXPECT_TRUE(same_settings(expected, s.settings()));
}

INSTANTIATE_TEST_SUITE_P(Stops, StopAndStty, ::testing::ValuesIn(stops_under_job_control()),
                         by_name);

// Keys typed while the program was stopped, and so with `fg` itself, are
// dropped as the wait takes the terminal again, before the hint: the wait
// goes on until a key typed after it.
TEST(JobControl, KeysTypedWhileStoppedAreDropped) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  ASSERT_TRUE(s.stop(SIGTSTP, r)) << r.status;
  // Queued once the line discipline has taken it, which it echoes then, in
  // the shell's settings; a continue sent before might overtake it.
  s.read_rest();
  s.screen.clear();
  ASSERT_TRUE(s.type("x"));
  ASSERT_TRUE(s.wait_for_text("x")) << "the key was not echoed: " << s.screen;
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
  ASSERT_TRUE(waits_quietly(s)) << "a key typed before the hint ended the wait";
  EXPECT_TRUE(s.unchanged()) << "a key typed before the hint ended the wait: " << s.screen;
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// A change of the settings that another program makes while the wait keeps
// the foreground (stty from another terminal) to non-canonical ones is the
// wait's own mode changed, not a shell's: it is not taken for the settings
// to put back, even when a SIGCONT follows, and brings no second hint. After
// the key the settings are those found at the start. Canonical ones (a whole
// `stty sane` from elsewhere) are a shell's: they are kept to put back, and
// the wait takes the terminal again with the hint. Without a continue, the
// wait sees either at its look each second.
struct elsewhere_case {
  std::string name;
  bool canonical;
  bool then_sigcont;
};

class SettingsFromElsewhere : public ::testing::TestWithParam<elsewhere_case> {};

TEST_P(SettingsFromElsewhere, AreAdoptedOnlyWhenCanonical) {
  const elsewhere_case& t = GetParam();
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  s.screen.clear();
  termios changed = s.settings();
  if (t.canonical) {
    changed = s.before;
    changed.c_cc[VERASE] = '\b';
  } else {
    changed.c_lflag |= ECHO;
  }
  s.set_settings(changed);
  if (t.then_sigcont) {
    ASSERT_TRUE(s.signal(SIGCONT));
  }
  if (t.canonical) {
    ASSERT_TRUE(s.wait_for_raw_mode()) << "the terminal was not taken again";
    EXPECT_TRUE(s.wait_for_text(hint)) << "no hint: " << s.screen;
  } else {
    ASSERT_TRUE(waits_quietly_after_a_look(s));
    EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the hint again: " << s.screen;
  }
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(t.canonical ? changed : s.before, s.settings()))
      << "not the settings to put back";
}

INSTANTIATE_TEST_SUITE_P(JobControl, SettingsFromElsewhere,
                         ::testing::Values(elsewhere_case{"NonCanonical", false, false},
                                           elsewhere_case{"NonCanonicalThenSigcont", false, true},
                                           elsewhere_case{"Canonical", true, false},
                                           elsewhere_case{"CanonicalThenSigcont", true, true}),
                         by_name);

// Continued in the background, the wait leaves the terminal, now the
// shell's, alone and shows no hint. `kill %1` then sends the group SIGTERM,
// and SIGCONT since it is stopped.
TEST(JobControl, InTheBackgroundSigtermStillEndsIt) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  ASSERT_TRUE(s.stop(SIGTSTP, r)) << r.status;
  // The kernel refuses its change of the terminal, and it stops by SIGTTOU;
  // that stop may overtake the report of the continue.
  s.screen.clear();
  ASSERT_TRUE(s.bg());
  while (s.next_report(r) && WIFCONTINUED(r.status)) {
  }
  ASSERT_TRUE(stopped_by(r, SIGTTOU)) << r.status;
  EXPECT_TRUE(same_settings(s.before, r.found)) << "the shell's settings were changed";
  EXPECT_EQ(s.screen.find(hint), std::string::npos) << "the hint was shown in the background";
  ASSERT_TRUE(s.signal_group(SIGTERM));
  ASSERT_TRUE(s.signal_group(SIGCONT));
  EXPECT_EQ(s.status(), 128 + SIGTERM) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// A shell that leaves the job's settings in place at a stop, as dash does
// at SIGSTOP, leaves raw mode on the terminal, so the settings do not tell
// that the shell has had it. Continued in the background, the program is
// refused its look and stops by SIGTTOU, still in raw mode; back in the
// foreground it shows the hint again, since the shell has written to the
// terminal meanwhile. This shell puts its own settings back at each stop,
// so the test puts the job's back after it, as such a shell would leave them.
TEST(JobControl, BackFromTheBackgroundInRawModeTheHintIsShownAgain) {
  pty_shell s;
  ASSERT_TRUE(start(s));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  ASSERT_TRUE(s.stop(SIGSTOP, r)) << r.status;
  ASSERT_TRUE(raw_mode(r.found));
  s.set_settings(r.found);
  ASSERT_TRUE(s.bg());
  while (s.next_report(r) && WIFCONTINUED(r.status)) {
  }
  ASSERT_TRUE(stopped_by(r, SIGTTOU)) << r.status;
  ASSERT_TRUE(raw_mode(r.found)) << "the settings were changed from the background";
  s.set_settings(r.found);
  s.read_rest();
  EXPECT_EQ(s.screen.rfind(hint), s.screen.size() - hint.size()) << "wrote from the background";
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// A job of several processes, `avoidrec | cat` here, continued in the
// background: the kernel refuses the wait's change of the terminal and
// stops the whole job by SIGTTOU, and the program stops with it, so that the
// shell sees the job stopped and `fg` continues every member. Whatever the
// parent did with SIGTTIN, which the wait does not meet in the background.
struct job_case {
  std::string name;
  bool ignore_ttin;
  std::vector<int> blocked;
};

class WholeJob : public ::testing::TestWithParam<job_case> {};

TEST_P(WholeJob, StopsTogetherInTheBackgroundAndGoesOnTogether) {
  const job_case& t = GetParam();
  launch how;
  how.tracer = {"/bin/sh", "-c", "\"$0\" | cat"};
  how.ignore_ttin = t.ignore_ttin;
  how.blocked_and_pending = t.blocked;
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  const pid_t program = program_in(s.pid());
  ASSERT_GT(program, 0) << "the program is not in the job";
  ASSERT_TRUE(s.signal_group(SIGTSTP));
  report r;
  ASSERT_TRUE(s.next_report(r) && WIFSTOPPED(r.status)) << r.status;
  s.read_rest();
  s.screen.clear();
  ASSERT_TRUE(s.bg());
  // The kernel's SIGTTOU stops the sh the shell reports on.
  while (s.next_report(r) && WIFCONTINUED(r.status)) {
  }
  ASSERT_TRUE(stopped_by(r, SIGTTOU)) << r.status;
  ASSERT_TRUE(s.within_seconds([&] { return all_stopped(s.pid()); }))
      << "not all stopped: the program is in state " << state_of(program);
  ASSERT_TRUE(s.fg());
  ASSERT_TRUE(s.wait_for_raw_mode()) << "the wait is in line mode: " << s.screen;
  EXPECT_TRUE(s.wait_for_text(hint)) << s.screen;
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(true), 0) << s.screen;
  EXPECT_TRUE(members_of(s.pid()).empty()) << "a member of the job was left behind";
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

INSTANTIATE_TEST_SUITE_P(JobControl, WholeJob,
                         ::testing::Values(job_case{"SigttinDefault", false, {}},
                                           job_case{"SigttinIgnored", true, {}},
                                           job_case{"SigttinBlocked", false, {SIGTTIN}}),
                         by_name);

// Where the program alone ignores SIGTTOU (`(trap '' TTOU; exec avoidrec)
// | cat`), a refusal would stop the rest of the job but not the program, and
// the shell, seeing a job that runs, would not continue it at `fg`. So in
// the background the program asks nothing of the kernel: no member stops,
// and `fg`, which need not continue a job that runs, brings the wait back.
TEST(JobControl, SigttouIgnoredByTheProgramAloneStopsNoMember) {
  launch how;
  how.tracer = {"/bin/sh", "-c", "(trap '' TTOU; exec \"$0\") | cat"};
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  const pid_t program = program_in(s.pid());
  ASSERT_GT(program, 0) << "the program is not in the job";
  ASSERT_TRUE(s.signal_group(SIGTSTP));
  report r;
  ASSERT_TRUE(s.next_report(r) && WIFSTOPPED(r.status)) << r.status;
  ASSERT_TRUE(s.within_seconds([&] { return all_stopped(s.pid()); }));
  ASSERT_TRUE(s.bg());
  ASSERT_TRUE(s.next_report(r) && WIFCONTINUED(r.status)) << r.status;
  ASSERT_TRUE(waits_quietly_after_a_look(s, program));
  for (pid_t member : members_of(s.pid())) {
    EXPECT_NE(state_of(member), 'T') << "member " << member << " was stopped";
  }
  EXPECT_TRUE(s.unchanged()) << "the job stopped";
  s.read_rest();
  s.screen.clear();
  ASSERT_TRUE(s.fg_running());
  ASSERT_TRUE(s.wait_for_raw_mode()) << s.screen;
  EXPECT_TRUE(s.wait_for_text(hint)) << s.screen;
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(members_of(s.pid()).empty()) << "a member of the job was left behind";
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// ---- The terminal goes away --------------------------------------------

// What comes before the hang-up.
enum class before_hangup {
  nothing,
  stop,          // SIGSTOP: stopped when the terminal goes
  continue_,     // a stray SIGCONT, which cuts the wait's sleep short
  stop_then_fg,  // SIGTSTP, then fg: the wait's sleep cut short, and taken up again
};

struct hangup_case {
  std::string name;
  bool ignore_hangup;
  before_hangup before;
  std::vector<int> statuses;
};

class HangUp : public ::testing::TestWithParam<hangup_case> {};

// Closing the terminal hangs it up, and the shell passes SIGHUP on to the
// program, with SIGCONT should it be stopped. The program ends at once: by
// SIGHUP, or because the read of the key fails, which may come first while
// it waits. With SIGHUP ignored, as under nohup, only the failed read ends
// it. A stopped program handles SIGHUP before it reads again. A signal that
// cut the wait's sleep short earlier leaves nothing behind that would make
// the failed read look like one to try again.
TEST_P(HangUp, EndsTheProgram) {
  const hangup_case& t = GetParam();
  launch how;
  how.ignore_hangup = t.ignore_hangup;
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  report r;
  switch (t.before) {
    case before_hangup::nothing:
      break;
    case before_hangup::stop:
      ASSERT_TRUE(s.stop(SIGSTOP, r)) << r.status;
      break;
    case before_hangup::continue_:
      ASSERT_TRUE(s.signal(SIGCONT));
      ASSERT_TRUE(s.within_seconds([&] { return sleeping(s.pid()); })) << "not waiting again";
      break;
    case before_hangup::stop_then_fg:
      ASSERT_TRUE(s.stop(SIGTSTP, r)) << r.status;
      ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(s));
      break;
  }
  s.hang_up();
  EXPECT_THAT(t.statuses, ::testing::Contains(s.status()));
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, HangUp,
    ::testing::Values(hangup_case{"WhileWaiting", false, before_hangup::nothing, {0, 128 + SIGHUP}},
                      hangup_case{"WhileStopped", false, before_hangup::stop, {128 + SIGHUP}},
                      hangup_case{"IgnoredWhileWaiting", true, before_hangup::nothing, {0}},
                      hangup_case{"IgnoredWhileStopped", true, before_hangup::stop, {0}},
                      hangup_case{"IgnoredAfterAContinue", true, before_hangup::continue_, {0}},
                      hangup_case{
                          "IgnoredAfterAStopAndFg", true, before_hangup::stop_then_fg, {0}}),
    by_name);

// ---- Signals the parent blocked ------------------------------------------

class BlockedAtStart : public ::testing::TestWithParam<signal_case> {};

// A signal that the parent left blocked, and pending, is never delivered:
// not while the wait lets its own signals through, nor when it ends. It is
// still pending while the program waits, and the program ends by the key.
TEST_P(BlockedAtStart, StaysBlockedAndPending) {
  const int sig = GetParam().sig;
  launch how;
  how.blocked_and_pending = {sig};
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  EXPECT_TRUE(pending_in(s.pid(), sig)) << "no longer pending during the wait";
  ASSERT_TRUE(s.type("q"));
  EXPECT_EQ(s.status(), 0) << s.screen;
  EXPECT_TRUE(same_settings(s.before, s.settings()));
}

// Ending signals, the C library's reserved numbers, stops, and SIGTTOU,
// which the wait lets through for the moment it changes the terminal, since
// the kernel refuses a change from the background only to a program that
// takes SIGTTOU.
INSTANTIATE_TEST_SUITE_P(
    Signals, BlockedAtStart,
    ::testing::Values(signal_case{"Int", SIGINT}, signal_case{"Alrm", SIGALRM},
                      signal_case{"Term", SIGTERM}, signal_case{"RtMin", SIGRTMIN},
                      signal_case{"Reserved32", first_reserved},
                      signal_case{"Reserved33", second_reserved}, signal_case{"Tstp", SIGTSTP},
                      signal_case{"Ttou", SIGTTOU}, signal_case{"Cont", SIGCONT}),
    by_name);

// ---- No key can come -----------------------------------------------------

struct orphan_case {
  std::string name;
  bool ignore_ttou;
  // SIGTTOU blocked by the parent, and one pending for it, which the program
  // must not take for the kernel's refusal of its change.
  bool ttou_blocked_and_pending = false;
};

class Orphaned : public ::testing::TestWithParam<orphan_case> {};

// Run by `sh -c` as the shell's job, the program is left alone in the
// background when that sh is killed and the shell takes the terminal back:
// its process group is orphaned, no shell can bring it back and no key can
// reach it. The wait ends as at a hang-up, at its next look, with status 0, and writes nothing more
// to the terminal or changes its settings, which are the shell's again. The kernel tells by failing
// the look's change of the terminal, whatever the parent did with SIGTTOU.
TEST_P(Orphaned, TheWaitEndsQuietly) {
  launch how;
  how.shell_stays = true;
  how.ignore_ttou = GetParam().ignore_ttou;
  how.tracer = {"/bin/sh", "-c", "\"$0\"; echo after"};
  if (GetParam().ttou_blocked_and_pending) {
    // Blocked and sent by the sh's child itself, which then becomes the
    // program: a child of fork inherits the mask but nothing pending.
    how.tracer = {"/bin/sh", "-c",
                  "python3 -c 'import os, signal, sys; "
                  "signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTTOU]); "
                  "os.kill(os.getpid(), signal.SIGTTOU); os.execv(sys.argv[1], sys.argv[1:])' "
                  "\"$0\"; echo after"};
  }
  pty_shell s;
  ASSERT_TRUE(start(s, how));
  ASSERT_TRUE(up_to_the_wait(s, "00101\n"));
  const pid_t program = program_in(s.pid());
  ASSERT_GT(program, 0) << "the program is not in the sh's group";
  if (GetParam().ttou_blocked_and_pending) {
    ASSERT_TRUE(pending_in(program, SIGTTOU)) << "no SIGTTOU pending for the parent";
  }
  s.read_rest();
  s.screen.clear();
  kill(s.pid(), SIGKILL);
  report r;
  ASSERT_TRUE(s.next_report(r) && WIFSIGNALED(r.status)) << r.status;
  // It ends at its first look once the shell has the terminal back (before
  // that, the program still has it and rightly goes on): seen asleep in its
  // wait after that, it begins no second sleep of its own, one more allowed
  // for a lock the look may wait for.
  int status = 0;
  long long first_sleep = -1;
  bool slept_again = false;
  const auto ended = [&] {
    if (waitpid(program, &status, WNOHANG) == program) return true;
    const long long sleeps = sleeps_begun(program);
    if (!(sleeping(program) && awaiting_the_rest(program)) || sleeps < 0) return false;
    if (foreground_of(program) == s.pid()) return false;
    if (first_sleep < 0) first_sleep = sleeps;
    if (sleeps > first_sleep + 1) slept_again = true;
    return false;
  };
  ASSERT_TRUE(s.within_seconds(ended)) << "still waiting, in state " << state_of(program);
  EXPECT_FALSE(slept_again) << "looked at the terminal and went on waiting";
  EXPECT_EQ(exit_code(status), 0);
  s.read_rest();
  EXPECT_EQ(s.screen, "") << "wrote to the shell's terminal";
  EXPECT_TRUE(same_settings(s.before, s.settings())) << "changed the shell's settings";
}

INSTANTIATE_TEST_SUITE_P(Stops, Orphaned,
                         ::testing::Values(orphan_case{"SigttouDefault", false},
                                           orphan_case{"SigttouIgnored", true},
                                           orphan_case{"SigttouBlockedAndPending", false, true}),
                         by_name);

}  // namespace pause_tests
