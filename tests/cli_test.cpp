// Runs the real executable with its standard input fed through a pipe, as a
// script would, and checks its output byte for byte and its exit status.
//
// AVOIDREC_EXE and AVOIDREC_LAUNCHER in the environment point it at another
// build of the program and the command that runs it: the Windows build under
// Wine, say.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ostream>
#include <string>

namespace {

const std::string prompt = "enter word(ex. 00101) : ";

const char* const launcher = std::getenv("AVOIDREC_LAUNCHER");
const char* const exe = std::getenv("AVOIDREC_EXE") ? std::getenv("AVOIDREC_EXE") : AVOIDREC_EXE;

struct outcome {
  std::string out, err;
  int status = -1;
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

// Feeds `input` to the program and collects what it writes. With a
// `stdout_path` or `stdin_path`, that stream is the file instead of a pipe.
outcome run_exe(const std::string& input, const char* stdout_path = nullptr,
                const char* stdin_path = nullptr) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(stdin_path == nullptr ? in[0] : open(stdin_path, O_RDONLY), STDIN_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (stdout_path == nullptr) {
      dup2(out[1], STDOUT_FILENO);
    } else {
      dup2(open(stdout_path, O_WRONLY), STDOUT_FILENO);
    }
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (launcher != nullptr) {
      execlp(launcher, launcher, exe, static_cast<char*>(nullptr));
    } else {
      execl(exe, exe, static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  for (int fd : {in[0], out[1], err[1]}) close(fd);
  // The program may stop reading long before the end of a long input.
  std::signal(SIGPIPE, SIG_IGN);
  for (std::size_t done = 0; done < input.size();) {
    const ssize_t put = write(in[1], input.data() + done, input.size() - done);
    if (put <= 0) break;
    done += static_cast<std::size_t>(put);
  }
  close(in[1]);
  // The program writes far less than a pipe holds, so it can finish before
  // anything is read.
  int status = 0;
  waitpid(pid, &status, 0);
  outcome o;
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
  if (launcher == nullptr) return text;
  std::string lf;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (text.compare(k, 2, "\r\n") != 0) lf += text[k];
  }
  return lf;
}

// On Windows the command interpreter's "pause" writes its own text after the
// program's output, which is what comes before that text.
std::string program_output(const std::string& out) {
  if (launcher == nullptr) return out;
  const std::size_t pause = out.find("Press any key");
  EXPECT_NE(pause, std::string::npos) << "no pause in: " << out;
  return with_lf(out.substr(0, pause));
}

TEST_P(Accepted, PrintsPromptAndExactLineAndExitsZero) {
  const outcome o = run_exe(GetParam().input);
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
  const outcome o = run_exe(GetParam().input);
  EXPECT_EQ(program_output(o.out), prompt);
  EXPECT_EQ(with_lf(o.err), GetParam().message);
  EXPECT_EQ(o.status, 1);
}

const std::string too_long = "avoidrec: word too long (at most 51 characters)\n";
const std::string no_word = "avoidrec: no word entered\n";

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
                                    no_word}),
    [](const auto& info) { return info.param.name; });

TEST(Cli, FullDiskIsAFailureWithAMessage) {
  const outcome o = run_exe("00101\n", "/dev/full");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("avoidrec: cannot write the result: "), std::string::npos) << o.err;
}

TEST(Cli, UnreadableInputIsAFailureWithAMessage) {
  const outcome o = run_exe("", nullptr, "/");
  EXPECT_EQ(program_output(o.out), prompt);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err.rfind("avoidrec: cannot read the word: ", 0), 0u) << o.err;
}

}  // namespace
