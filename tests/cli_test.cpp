// Runs the real executable with its standard input fed through a pipe, as a
// script would, with or without arguments, and checks its output byte for
// byte and its exit status; and once with its arguments at a terminal.
//
// AVOIDREC_EXE and AVOIDREC_LAUNCHER in the environment point it at another
// build of the program and the command that runs it: the Windows build under
// Wine, say.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string prompt = "enter word(ex. 00101) : ";

// A program that runs the one under test, Wine or an emulator, if any; and
// whether the program under test is a Windows one, whose lines end in CR LF
// and after which the command interpreter's "pause" writes its text.
const char* const launcher = std::getenv("AVOIDREC_LAUNCHER");
const bool windows_program = std::getenv("AVOIDREC_WINDOWS") != nullptr;
const char* const exe = std::getenv("AVOIDREC_EXE") ? std::getenv("AVOIDREC_EXE") : AVOIDREC_EXE;

struct outcome {
  std::string out, err;
  int status = -1;
  std::string unread{};  // what was left in the input pipe, when asked for
};

// Reads what is in the pipe without waiting for its other end to close: under
// Wine, helper processes that outlive the program keep it open.
std::string read_all(int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string text;
  char buf[4096];
  ssize_t got = 0;
  while ((got = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(got));
  return text;
}

void write_all(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

// How the program's standard streams are set up, and what it is fed.
struct setup {
  std::vector<std::string> args{};  // its arguments after its name
  std::string input{};              // written to its standard input, a pipe
  // The input is all in the pipe before the program starts, and what it has
  // not read is collected after it ends.
  bool keep_unread = false;
  // The pipe is left non-blocking, as a caller might leave it, and its writer
  // falls silent after `input`, keeping it open until the program has ended.
  bool stalled_writer = false;
  const char* stdin_path = nullptr;        // standard input from this file instead
  const char* stdout_path = nullptr;       // standard output to this file instead of a pipe
  rlim_t file_size_limit = RLIM_INFINITY;  // with SIGXFSZ ignored, so writes fail
};

// Runs the program with the arguments `how` gives, through the launcher if
// there is one. Where neither can be started, it says why on standard error,
// for the failure to show, and ends with status 127, as a shell does.
[[noreturn]] void exec_exe(const setup& how) {
  std::vector<const char*> argv;
  if (launcher != nullptr) argv.push_back(launcher);
  argv.push_back(exe);
  for (const std::string& arg : how.args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  // exec takes the strings as non-const for C's sake; it changes none of them.
  char* const* args = const_cast<char* const*>(argv.data());
  if (launcher != nullptr) {
    execvp(launcher, args);
  } else {
    execv(exe, args);
  }
  const int why = errno;
  dprintf(STDERR_FILENO, "cli_test: cannot start %s: %s\n", args[0], std::strerror(why));
  _exit(127);
}

// Runs the program as `how` says and collects what it writes.
outcome run_exe(const setup& how) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
  // A stalled writer's input is all in the pipe before the program starts,
  // so its read finds exactly that and then nothing.
  const bool written_first = how.stalled_writer || how.keep_unread;
  if (written_first) write_all(in[1], how.input);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(how.stdin_path == nullptr ? in[0] : open(how.stdin_path, O_RDONLY), STDIN_FILENO);
    if (how.stalled_writer) fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
    dup2(err[1], STDERR_FILENO);
    dup2(how.stdout_path == nullptr ? out[1] : open(how.stdout_path, O_WRONLY), STDOUT_FILENO);
    if (how.file_size_limit != RLIM_INFINITY) {
      const rlimit limit{how.file_size_limit, how.file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      std::signal(SIGXFSZ, SIG_IGN);
    }
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    exec_exe(how);
  }
  for (int fd : {out[1], err[1]}) close(fd);
  if (!how.keep_unread) close(in[0]);
  // The program may stop reading long before the end of a long input.
  std::signal(SIGPIPE, SIG_IGN);
  if (!written_first) write_all(in[1], how.input);
  if (!how.stalled_writer) close(in[1]);
  // The program writes far less than a pipe holds, so it can finish before
  // anything is read.
  int status = 0;
  waitpid(pid, &status, 0);
  if (how.stalled_writer) close(in[1]);
  outcome o;
  if (how.keep_unread) {
    o.unread = read_all(in[0]);
    close(in[0]);
  }
  o.out = read_all(out[0]);
  o.err = read_all(err[0]);
  close(out[0]);
  close(err[0]);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return o;
}

struct accepted_case {
  std::string name, input, line;
};

// Test names already say which case failed; print just that.
void PrintTo(const accepted_case& c, std::ostream* os) {
  *os << c.name;
}

class Accepted : public ::testing::TestWithParam<accepted_case> {};

// On Windows a line break is CRLF.
std::string with_lf(const std::string& text) {
  if (!windows_program) return text;
  std::string lf;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text.compare(k, 2, "\r\n") != 0) lf += text[k];
  }
  return lf;
}

// On Windows the command interpreter's "pause" writes its own text after the
// program's output, which is what comes before that text.
std::string program_output(const std::string& out) {
  if (!windows_program) return out;
  const std::size_t pause = out.find("Press any key");
  EXPECT_NE(pause, std::string::npos) << "no pause in: " << out;
  return with_lf(out.substr(0, pause));
}

TEST_P(Accepted, PrintsPromptAndExactLineAndExitsZero) {
  const outcome o = run_exe({.input = GetParam().input});
  EXPECT_EQ(program_output(o.out), prompt + GetParam().line);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.status, 0);
}

const std::string ones_51 = [] {
  std::string line = "0 ";
  for (int k = 0; k < 51; ++k) line += "1 ";
  return line + "\n";
}();

INSTANTIATE_TEST_SUITE_P(
    Words, Accepted,
    ::testing::Values(accepted_case{"WorkedExample", "00101\n", "0 2 0 0 0 -1 \n"},
                      accepted_case{"Alternating2", "01\n", "0 2 -1 \n"},
                      accepted_case{"Zeros2", "00\n", "0 1 1 \n"},
                      accepted_case{"W011", "011\n", "0 2 0 -1 \n"},
                      accepted_case{"Zeros4", "0000\n", "0 1 1 1 1 \n"},
                      accepted_case{"Ones3", "111\n", "0 1 1 1 \n"},
                      accepted_case{"Alternating4", "0101\n", "0 2 -1 2 -1 \n"},
                      accepted_case{"OtherSymbols", "abab\n", "0 2 -1 2 -1 \n"},
                      accepted_case{"HighBytes", "\x80\xff\x80\n", "0 2 -1 1 \n"},
                      // A byte 0x1A ends text-mode input on Windows.
                      accepted_case{"CtrlZBytes",
                                    "\x1a"
                                    "0\x1a"
                                    "0\n",
                                    "0 2 -1 2 -1 \n"},
                      accepted_case{"OneCharacter", "0\n", "0 1 \n"},
                      accepted_case{"OnlyFirstTokenUsed", "011 0101\n", "0 2 0 -1 \n"},
                      accepted_case{"NoLineBreakAtEnd", "00101", "0 2 0 0 0 -1 \n"},
                      accepted_case{"LeadingWhiteSpaceAndCrlf", " \t\r\n 00101\r\n",
                                    "0 2 0 0 0 -1 \n"},
                      accepted_case{"LongestWord", std::string(51, '0') + "\n", ones_51},
                      accepted_case{"LongestWordAtEndOfInput", std::string(51, '0'), ones_51}),
    [](const auto& info) { return info.param.name; });

struct rejected_case {
  std::string name, input, message;
};

// Test names already say which case failed; print just that.
void PrintTo(const rejected_case& c, std::ostream* os) {
  *os << c.name;
}

class Rejected : public ::testing::TestWithParam<rejected_case> {};

TEST_P(Rejected, WritesNoResultAndExitsOne) {
  const outcome o = run_exe({.input = GetParam().input});
  EXPECT_EQ(program_output(o.out), prompt);
  EXPECT_EQ(with_lf(o.err), GetParam().message);
  EXPECT_EQ(o.status, 1);
}

const std::string too_long = "avoidrec: word too long (at most 51 bytes)\n";
const std::string no_word = "avoidrec: no word entered\n";
const std::string nul = "avoidrec: the word contains a NUL byte\n";

INSTANTIATE_TEST_SUITE_P(
    Inputs, Rejected,
    ::testing::Values(rejected_case{"Word52", std::string(52, '0') + "\n", too_long},
                      rejected_case{"WordMillion", std::string(1000000, '1'), too_long},
                      rejected_case{"NoInput", "", no_word},
                      rejected_case{"WhiteSpaceOnly", " \n\t\r\n  ", no_word},
                      rejected_case{"NulFirst",
                                    std::string("\0"
                                                "0101\n",
                                                6),
                                    nul},
                      rejected_case{"NulInside",
                                    std::string("0\0"
                                                "0101\n",
                                                7),
                                    nul},
                      rejected_case{"NulLast", std::string("0101\0\n", 6), nul}),
    [](const auto& info) { return info.param.name; });

// The reason after the colon of a failure message: a real one, never the
// text for "no error", which the Windows runtime's errno can give.
std::string reason(const std::string& message, const std::string& start) {
  if (message.rfind(start, 0) != 0 || message.back() != '\n') {
    ADD_FAILURE() << "not a line starting \"" << start << "\": " << message;
    return "";
  }
  const std::string why = message.substr(start.size(), message.size() - start.size() - 1);
  EXPECT_FALSE(why.empty() || why == "Success" || why == "No error") << message;
  return why;
}

TEST(Cli, FullDiskAtThePromptIsAFailureOfThePrompt) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
  const outcome o = run_exe({.input = "00101\n", .stdout_path = "/dev/full"});
  EXPECT_EQ(o.status, 1);
  reason(with_lf(o.err), "avoidrec: cannot write the prompt: ");
}

TEST(Cli, FileSizeLimitAtTheResultIsAFailureOfTheResult) {
  char path[] = "/tmp/avoidrec-out-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  // Room for the prompt, not for the line after it.
  const outcome o = run_exe({.input = "00101\n", .stdout_path = path, .file_size_limit = 30});
  unlink(path);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(reason(o.err, "avoidrec: cannot write the result: "), "File too large");
}

TEST(Cli, UnreadableInputIsAFailureWithARealReason) {
  const outcome o = run_exe({.stdin_path = "/"});
  EXPECT_EQ(program_output(o.out), prompt);
  EXPECT_EQ(o.status, 1);
  reason(with_lf(o.err), "avoidrec: cannot read the word: ");
}

struct paused_case {
  std::string name, input;
};

// Test names already say which case failed; print just that.
void PrintTo(const paused_case& c, std::ostream* os) {
  *os << c.name;
}

class FailedRead : public ::testing::TestWithParam<paused_case> {};

// Standard input left non-blocking, and its writer pausing after `input`:
// the read fails (EAGAIN) with the rest of the word, or the byte after it,
// not there yet.
TEST_P(FailedRead, IsAFailureNeverAShorterWord) {
  const outcome o = run_exe({.input = GetParam().input, .stalled_writer = true});
  EXPECT_EQ(o.out, prompt);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(reason(o.err, "avoidrec: cannot read the word: "), std::strerror(EAGAIN));
}

INSTANTIATE_TEST_SUITE_P(Pauses, FailedRead,
                         ::testing::Values(paused_case{"InsideTheWord", "001"},
                                           paused_case{"AfterTheLongestWord",
                                                       std::string(51, '0')}),
                         [](const auto& info) { return info.param.name; });

// The three lines of a usage error, with the argument as shown.
std::string unexpected_shown(const std::string& shown) {
  return "avoidrec: unexpected argument " + shown +
         "\n"
         "avoidrec reads the word from standard input: echo 00101 | avoidrec\n"
         "Try 'avoidrec --help'.\n";
}

// The same for an argument shown between single quotes.
std::string unexpected(const std::string& argument) {
  return unexpected_shown("'" + argument + "'");
}

// The two lines of an unrecognized option, shown between single quotes.
std::string unrecognized(const std::string& option) {
  return "avoidrec: unrecognized option '" + option +
         "'\n"
         "Try 'avoidrec --help'.\n";
}

enum class stream { out, err };

struct argument_case {
  std::string name;
  std::vector<std::string> args;
  stream to;         // where the answer goes; the other stream stays empty
  std::string text;  // the whole answer, or its first line when `first_line`
  bool first_line;
  int status;
  bool runs;  // a run as without arguments, which reads the word
};

// Test names already say which case failed; print just that.
void PrintTo(const argument_case& c, std::ostream* os) {
  *os << c.name;
}

class Arguments : public ::testing::TestWithParam<argument_case> {};

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n') + 1);
}

// A word waits in standard input; only a run may read it. What a launcher
// does with standard input is its own, so that is checked without one only.
TEST_P(Arguments, AreAnsweredAsTheTableSays) {
  const argument_case& c = GetParam();
  const outcome o =
      run_exe({.args = c.args, .input = "00101\n", .keep_unread = launcher == nullptr});
  const std::string out = c.runs ? program_output(o.out) : with_lf(o.out);
  const std::string err = with_lf(o.err);
  const std::string& answer = c.to == stream::out ? out : err;
  EXPECT_EQ(c.first_line ? first_line(answer) : answer, c.text);
  EXPECT_EQ(c.to == stream::out ? err : out, "");
  EXPECT_EQ(o.status, c.status);
  if (c.runs) return;
  // On Windows a wait is the interpreter's "pause", which writes to standard
  // output.
  EXPECT_EQ(o.out.find("Press any key"), std::string::npos) << "it waited";
  if (launcher == nullptr) {
    EXPECT_EQ(o.unread, "00101\n") << "it read standard input";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Arguments,
    ::testing::Values(
        argument_case{"Help",
                      {"--help"},
                      stream::out,
                      "Usage: avoidrec [--help | --version]\n",
                      true,
                      0,
                      false},
        argument_case{"Version",
                      {"--version"},
                      stream::out,
                      "avoidrec " AVOIDREC_VERSION "\n",
                      true,
                      0,
                      false},
        argument_case{"ShortH", {"-h"}, stream::err, unexpected("-h"), false, 2, false},
        argument_case{"Word", {"00101"}, stream::err, unexpected("00101"), false, 2, false},
        argument_case{
            "DoubleDash", {"--"}, stream::out, prompt + "0 2 0 0 0 -1 \n", false, 0, true},
        argument_case{"Dash", {"-"}, stream::err, unexpected("-"), false, 2, false},
        argument_case{
            "HelpExtra", {"--help", "extra"}, stream::err, unexpected("extra"), false, 2, false},
        argument_case{"VersionHelp",
                      {"--version", "--help"},
                      stream::err,
                      unexpected("--help"),
                      false,
                      2,
                      false},
        argument_case{"Empty", {""}, stream::err, unexpected(""), false, 2, false},
        argument_case{
            "DoubleDashWord", {"--", "00101"}, stream::err, unexpected("00101"), false, 2, false},
        argument_case{
            "DoubleDashHelp", {"--", "--help"}, stream::err, unexpected("--help"), false, 2, false},
        argument_case{"HelpShortened",
                      {"--h"},
                      stream::out,
                      "Usage: avoidrec [--help | --version]\n",
                      true,
                      0,
                      false},
        argument_case{"VersionShortened",
                      {"--vers"},
                      stream::out,
                      "avoidrec " AVOIDREC_VERSION "\n",
                      true,
                      0,
                      false},
        argument_case{"HelpShortenedExtra",
                      {"--hel", "extra"},
                      stream::err,
                      unexpected("extra"),
                      false,
                      2,
                      false},
        argument_case{"UnknownOption", {"--x"}, stream::err, unrecognized("--x"), false, 2, false},
        argument_case{
            "HelpWithValue", {"--help=x"}, stream::err, unrecognized("--help=x"), false, 2, false},
        argument_case{"ThreeDashes", {"---"}, stream::err, unrecognized("---"), false, 2, false},
        argument_case{"ControlBytes",
                      {"\x1b[31mred\n"},
                      stream::err,
                      unexpected_shown("$'\\033[31mred\\012'"),
                      false,
                      2,
                      false},
        argument_case{
            "Quote", {"it's"}, stream::err, unexpected_shown("$'it\\'s'"), false, 2, false},
        argument_case{"HighBytes",
                      {"\xc3\xa9"},
                      stream::err,
                      unexpected_shown("$'\\303\\251'"),
                      false,
                      2,
                      false},
        argument_case{
            "OptionWithEscape",
            {"--\x1b]0;title\x07"},
            stream::err,
            "avoidrec: unrecognized option $'--\\033]0;title\\007'\nTry 'avoidrec --help'.\n",
            false,
            2,
            false}),
    [](const auto& info) { return info.param.name; });

TEST(Cli, VersionCarriesTheCopyrightOfThePackages) {
  std::ifstream notice(AVOIDREC_SOURCE_DIR "/packaging/copyright");
  std::string line, copyright;
  while (std::getline(notice, line)) {
    if (line.rfind("Copyright ", 0) == 0) copyright = line;
  }
  ASSERT_FALSE(copyright.empty()) << "no copyright line in packaging/copyright";
  const outcome o = run_exe({.args = {"--version"}});
  EXPECT_EQ(with_lf(o.out), "avoidrec " AVOIDREC_VERSION "\n" + copyright + "\n");
  EXPECT_EQ(o.status, 0);
}

// The help's example is what the program prints for it, but for the line's
// last space, which a reader cannot see.
TEST(Cli, HelpExampleIsWhatTheProgramPrints) {
  const std::string help = with_lf(run_exe({.args = {"--help"}}).out);
  const std::string command = "  $ echo ";
  const std::size_t start = help.find(command);
  ASSERT_NE(start, std::string::npos) << help;
  const std::size_t word = start + command.size();
  const std::size_t shown = help.find('\n', start) + 1 + 2;
  ASSERT_EQ(help.substr(shown - 3, 3), "\n  ") << help;
  const outcome o = run_exe({.input = help.substr(word, help.find(" | avoidrec\n", word) - word)});
  EXPECT_EQ(program_output(o.out), help.substr(shown, help.find('\n', shown) - shown) + " \n");
}

TEST(Cli, FullDiskForTheHelpOrTheVersionIsAFailure) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
  for (const auto& [arg, what] : {std::pair{"--help", "help"}, std::pair{"--version", "version"}}) {
    const outcome o = run_exe({.args = {arg}, .stdout_path = "/dev/full"});
    EXPECT_EQ(o.status, 1) << arg;
    reason(with_lf(o.err), std::string("avoidrec: cannot write the ") + what + ": ");
  }
}

// Opens a pseudo-terminal's master side, with its slave side named in `slave`.
int open_terminal(std::string& slave) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  slave = ptsname(master);
  return master;
}

// Where a run would wait for a key, at its controlling terminal, an argument
// is answered at once: the program ends by itself, and writes nothing to the
// terminal, no hint either. A program that waited is ended after a while.
TEST(ArgumentsAtATerminal, AreAnsweredWithoutAWait) {
  const std::pair<const char*, int> runs[] = {{"--help", 0}, {"--version", 0}, {"00101", 2}};
  for (const auto& [arg, expected] : runs) {
    std::string slave;
    const int master = open_terminal(slave);
    ASSERT_GE(master, 0);
    // Held open here too, so that what the program writes there stays to be
    // read after it ends.
    const int held = open(slave.c_str(), O_RDWR | O_NOCTTY);
    const pid_t pid = fork();
    if (pid == 0) {
      setsid();
      const int tty = open(slave.c_str(), O_RDWR);
      const int null = open("/dev/null", O_WRONLY);
      dup2(tty, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      exec_exe({.args = {arg}});
    }
    const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    EXPECT_GE(process, 0) << "pidfd_open: " << std::strerror(errno);
    pollfd ended{process, POLLIN, 0};
    const bool by_itself = process >= 0 && poll(&ended, 1, 10000) == 1;
    if (!by_itself) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(by_itself) << arg << ": it waited";
    // A program that could not start at all would end with 127 here.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expected) << arg << ": " << status;
    char byte = 0;
    fcntl(master, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(read(master, &byte, 1), -1) << arg << ": it wrote to the terminal";
    for (int fd : {process, held, master}) close(fd);
  }
}

}  // namespace
