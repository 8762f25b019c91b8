// Races in the wait for a key, reached exactly by running the program under
// strace (strace_helpers.h), which delivers a signal, an error or a delay at
// one given system call: stops and signals right at the changes of the
// terminal and at the read of the key, interrupted settings and reads, and a
// key whose bytes arrive apart. The calls are found in a logged run by what
// they do, so the tests follow the program wherever its calls move.
//
// AVOIDREC_EXE in the environment points the tests at another build.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pause_common.h"
#include "pty_shell.h"
#include "strace_helpers.h"

namespace pause_tests {

namespace {

using namespace std::chrono_literals;

}  // namespace

class Race : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_strace()) GTEST_SKIP() << "strace is not installed";
    ASSERT_TRUE(find_landmarks(at));
  }

  // Runs the program with strace's `inject` (calls:action:when), up to the
  // point where the hint shows, or where the word is typed if not
  // `up_to_the_hint`.
  [[nodiscard]] ::testing::AssertionResult start_injecting(const std::string& inject,
                                                           bool up_to_the_hint = true) {
    return start_traced({"-o", "/dev/null", "-e", inject}, up_to_the_hint);
  }

  // The same with strace's options as given.
  [[nodiscard]] ::testing::AssertionResult start_traced(const std::vector<std::string>& action,
                                                        bool up_to_the_hint = true) {
    s = std::make_unique<pty_shell>();
    const launch how = traced("ioctl,read," + waits_for_the_rest, action);
    if (auto started = start(*s, how); !started) return started;
    if (!s->wait_for_text(prompt))
      return ::testing::AssertionFailure() << "no prompt: " << s->screen;
    s->note_tracer();
    if (auto typing = s->type("00101\n"); !typing) return typing;
    if (!up_to_the_hint) return ::testing::AssertionSuccess();
    if (!s->wait_for_text(hint)) return ::testing::AssertionFailure() << "no hint: " << s->screen;
    return ::testing::AssertionSuccess();
  }

  landmarks at;
  std::unique_ptr<pty_shell> s;
};

// A stop right after the settings are put back for good: continued, the
// program does not take the terminal again, and ends leaving it as found.
TEST_F(Race, StopAfterTheLastRestore) {
  ASSERT_TRUE(
      start_injecting("inject=ioctl:signal=SIGTSTP:when=" + std::to_string(at.restore + 1)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  ASSERT_TRUE(s->type("q"));
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTSTP)) << r.status;
  s->screen.clear();
  ASSERT_TRUE(s->fg());
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_EQ(s->screen.find(hint), std::string::npos) << "the wait came back";
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A stop right after SIGTERM's handler has put the terminal back waits for
// that handler, which ends the program. The handler puts the settings back
// with the same calls as the end of the wait, so they are counted alike.
TEST_F(Race, StopInsideTheTermHandler) {
  ASSERT_TRUE(
      start_injecting("inject=ioctl:signal=SIGTSTP:when=" + std::to_string(at.restore + 1)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  ASSERT_TRUE(s->signal(SIGTERM));
  EXPECT_EQ(s->status(true), 128 + SIGTERM) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// Entering raw mode is interrupted by a stop: the stop is taken first, with
// the terminal as found and no hint yet, and after `fg` the wait takes the
// terminal and shows the hint.
TEST_F(Race, StopInterruptsTheRawEntry) {
  ASSERT_TRUE(start_injecting(
      "inject=ioctl:error=EINTR:signal=SIGTSTP:when=" + std::to_string(at.raw), false));
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTSTP)) << r.status;
  EXPECT_TRUE(same_settings(s->before, r.found)) << "the terminal was changed";
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(*s));
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A setting of the terminal that fails with EINTR, which POSIX allows, is
// made again: the wait still enters raw mode, and still puts the settings
// back at its end.
// With a SIGTTOU from elsewhere, which the program, in the foreground, does
// not take for the kernel's refusal to change the terminal from the
// background.
struct eintr_case {
  std::string name;
  int landmarks::*call;
  std::string with_signal{};
};

class InterruptedSetting : public Race, public ::testing::WithParamInterface<eintr_case> {};

TEST_P(InterruptedSetting, IsMadeAgain) {
  const eintr_case& t = GetParam();
  ASSERT_TRUE(start_injecting("inject=ioctl:error=EINTR" + t.with_signal +
                              ":when=" + std::to_string(at.*t.call)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

INSTANTIATE_TEST_SUITE_P(Race, InterruptedSetting,
                         ::testing::Values(eintr_case{"RawEntry", &landmarks::raw},
                                           eintr_case{"Restore", &landmarks::restore}),
                         by_name);

// A change interrupted with SIGTTOU is how the kernel refuses a change from
// the background, and it stops the rest of the job by that SIGTTOU: refused
// the raw entry, the program stops by SIGTTOU too, with no hint and the
// terminal as found, and `fg` brings the wait back.
TEST_F(Race, RefusedRawEntryStopsTheProgram) {
  ASSERT_TRUE(start_injecting(
      "inject=ioctl:error=EINTR:signal=SIGTTOU:when=" + std::to_string(at.raw), false));
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTTOU)) << r.status;
  EXPECT_TRUE(same_settings(s->before, r.found)) << "the terminal was changed";
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(*s));
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// Refused the last restore, once the key is taken, where the terminal still
// holds the wait's raw mode: the program stops by the kernel's SIGTTOU with
// the rest of its job, writes nothing meanwhile, and continued in the
// foreground puts the settings back and ends.
TEST_F(Race, RefusedRestoreStopsUntilFg) {
  ASSERT_TRUE(start_injecting("inject=ioctl:error=EINTR:signal=SIGTTOU:when=" +
                              std::to_string(at.restore)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->read_rest();
  s->screen.clear();
  ASSERT_TRUE(s->type("q"));
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTTOU)) << r.status;
  s->read_rest();
  EXPECT_EQ(s->screen, "") << "wrote after the refusal";
  ASSERT_TRUE(s->fg());
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// The key's byte taken by another reader of the terminal between the sleep
// that found it and the read (a member of the same job reading the terminal,
// or the shell after a stop that came between the two): the program goes
// back to its sleep, letting its signals through, instead of sitting in a
// read that only another key would end, and SIGTERM ends it at once. strace
// holds each sleep as it returns, the one that found the key among them,
// while the byte is taken; the key comes after a look, so that the sleep
// has a whole second left and returns for the key, not its time.
TEST_F(Race, KeyTakenByAnotherReaderBeforeTheRead) {
  ASSERT_TRUE(start_injecting("inject=pselect6:delay_exit=300000"));
  ASSERT_TRUE(waits_quietly_after_a_look(*s));
  ASSERT_TRUE(s->type("x"));
  ASSERT_TRUE(s->within_seconds([&] { return state_of(s->pid()) == 't' && s->queued() == 1; }))
      << "the sleep that found the key was not held, state " << state_of(s->pid());
  ASSERT_EQ(s->take_input(), 1);
  ASSERT_TRUE(waits_quietly(*s)) << "not back in its sleep";
  ASSERT_TRUE(s->signal(SIGTERM));
  EXPECT_EQ(s->status(), 128 + SIGTERM) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A SIGTTOU sent from elsewhere, pending as the wait is about to enter raw
// mode, where a refusal would stop the program by SIGTTOU's default action:
// it is met first, as the stop it is, with the terminal as found, and stops
// the program once only; after `fg` the wait takes the terminal and one key
// ends it. The signal is sent at the look for a line-mode lock, the last
// call before the change, where the wait holds it blocked.
TEST_F(Race, SigttouPendingBeforeTheRawEntryStopsOnce) {
  std::vector<std::string> ioctls;
  ASSERT_TRUE(logged_calls("ioctl", detail::brief, ioctls));
  int lock_look = 0;
  for (int i = 0; i < at.raw - 1 && i < static_cast<int>(ioctls.size()); ++i)
    if (ioctls[static_cast<std::size_t>(i)].find("TIOCGLCKTRMIOS") != std::string::npos)
      lock_look = i + 1;
  if (lock_look == 0) GTEST_SKIP() << "no look for a line-mode lock on this system";
  ASSERT_TRUE(
      start_injecting("inject=ioctl:signal=SIGTTOU:when=" + std::to_string(lock_look), false));
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTTOU)) << r.status;
  EXPECT_TRUE(same_settings(s->before, r.found)) << "stopped with the terminal changed";
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(*s));
  ASSERT_TRUE(waits_quietly(*s));
  EXPECT_TRUE(s->unchanged()) << "stopped again";
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// Over a slow link the bytes of a key arrive apart: the rest of the key is
// taken with it, not left for the shell, after ESC (an arrow key) and after
// the lead byte of a character in UTF-8. The program's wait for the rest is
// held back a second as it starts, so that the rest surely comes within the
// program's 100 ms, however slow this machine is.
struct split_key_case {
  std::string name;
  std::string first;
  std::string rest;
};

class SplitKey : public Race, public ::testing::WithParamInterface<split_key_case> {};

TEST_P(SplitKey, TheRestIsTakenWithTheKey) {
  const split_key_case& t = GetParam();
  ASSERT_TRUE(start_injecting("inject=" + waits_for_the_rest +
                              ":delay_enter=1000000:when=" + std::to_string(at.rest_wait)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  ASSERT_TRUE(s->type(t.first));
  // Held at the start of the wait for the rest, with the first bytes read;
  // the stop at the end of the wait for the key shows the same call, but
  // with them still unread.
  const auto awaiting = [&] {
    return state_of(s->pid()) == 't' && awaiting_the_rest(s->pid()) && s->queued() == 0;
  };
  ASSERT_TRUE(s->within_seconds(awaiting)) << "not waiting for the rest of the key";
  ASSERT_TRUE(s->type(t.rest));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
  EXPECT_EQ(s->input_left(), 0) << "the rest of the key was left for the next program";
}

INSTANTIATE_TEST_SUITE_P(
    Race, SplitKey,
    ::testing::Values(split_key_case{"Escape", "\x1b", "[A"},
                      split_key_case{"TwoByteCharacter", "\xc3", "\xa9"},
                      split_key_case{"ThreeByteCharacter", "\xe2", "\x82\xac"},
                      split_key_case{"ThreeByteCharacterLastApart", "\xe2\x82", "\xac"},
                      split_key_case{"FourByteCharacter", "\xf0\x9f", "\x98\x80"}),
    by_name);

// A stop while the rest of a key is awaited, here while strace holds the
// start of that wait, then `bg`: the key is taken, so the program ends in
// the background, with the terminal put back at the stop, and writes
// nothing there, not even the line break.
TEST_F(Race, StopWhileAwaitingTheRestThenBg) {
  ASSERT_TRUE(start_injecting("inject=" + waits_for_the_rest +
                              ":delay_enter=1000000:when=" + std::to_string(at.rest_wait)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  ASSERT_TRUE(s->type("\x1b"));
  const auto awaiting = [&] {
    return state_of(s->pid()) == 't' && awaiting_the_rest(s->pid()) && s->queued() == 0;
  };
  ASSERT_TRUE(s->within_seconds(awaiting)) << "not waiting for the rest of the key";
  report r;
  ASSERT_TRUE(s->stop(SIGTSTP, r)) << r.status;
  EXPECT_TRUE(same_settings(s->before, r.found)) << "the terminal was left raw at the stop";
  s->read_rest();
  s->screen.clear();
  ASSERT_TRUE(s->bg());
  EXPECT_EQ(s->status(), 0) << s->screen;
  s->read_rest();
  EXPECT_EQ(s->screen, "") << "wrote from the background";
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A stop that comes as the key is read, here while strace holds the read's
// return, is taken once the key is: after `fg` the wait does not come back,
// and no hint asks for a key that is not awaited.
TEST_F(Race, StopAsTheKeyIsRead) {
  ASSERT_TRUE(start_injecting("inject=read:delay_exit=500000:when=" + std::to_string(at.key_read)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  ASSERT_TRUE(s->type("q"));
  ASSERT_TRUE(s->within_seconds([&] { return state_of(s->pid()) == 't'; })) << "not reading";
  report r;
  ASSERT_TRUE(s->stop(SIGTSTP, r)) << r.status;
  s->read_rest(20ms);
  s->screen.clear();
  ASSERT_TRUE(s->fg());
  EXPECT_EQ(s->status(), 0) << s->screen;
  s->read_rest();
  EXPECT_EQ(s->screen.find(hint), std::string::npos) << "a hint after the key: " << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A signal that the program handles, here a continue, interrupts its wait
// for the rest of a key: the wait for the rest goes on, and the rest that
// comes after the signal is taken with the key, not left for the shell. The
// signal comes as the key is read, to be met as the wait for the rest
// begins; the wait call after the one it interrupted is held back a second
// as it starts, the signals blocked again, while the rest is typed.
TEST_F(Race, SignalWhileAwaitingTheRestOfAKey) {
  ASSERT_TRUE(start_traced({"-o", "/dev/null", "-e",
                            "inject=read:signal=SIGCONT:when=" + std::to_string(at.key_read), "-e",
                            "inject=" + waits_for_the_rest +
                                ":delay_enter=1000000:when=" + std::to_string(at.rest_wait + 1)}));
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->screen.clear();
  ASSERT_TRUE(s->type("\x1b"));
  // Held at the start of the second wait for the rest: the continue met,
  // and blocked again outside the wait.
  const auto held = [&] {
    return state_of(s->pid()) == 't' && awaiting_the_rest(s->pid()) && s->queued() == 0 &&
           !pending_in(s->pid(), SIGCONT) && blocked_by(s->pid(), SIGCONT);
  };
  ASSERT_TRUE(s->within_seconds(held)) << "not waiting for the rest after the signal";
  ASSERT_TRUE(s->type("[A"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  s->read_rest();
  EXPECT_EQ(s->screen, "\r\n") << "the wait ended once, and showed nothing more";
  EXPECT_TRUE(same_settings(s->before, s->settings()));
  EXPECT_EQ(s->input_left(), 0) << "the rest of the key was left for the next program";
}

// ESC alone, and a signal that the program handles, here a continue, within
// the time it waits for the rest: nothing more comes, and the wait ends once
// that time is up.
TEST_F(Race, SignalWhileAwaitingARestThatNeverComes) {
  ASSERT_TRUE(start_injecting("inject=" + waits_for_the_rest +
                              ":signal=SIGCONT:when=" + std::to_string(at.rest_wait)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  s->screen.clear();
  ASSERT_TRUE(s->type("\x1b"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  s->read_rest();
  EXPECT_EQ(s->screen, "\r\n") << "the wait ended once, and showed nothing more";
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A continue that comes after a stop, before the program has acted on it,
// ends the stop, as the kernel's own continue drops a stop still pending:
// the program does not stop, and the wait goes on. The stop comes as raw
// mode is entered, with the wait's signals blocked, and is met at its first
// sleep; the wait call that follows, which lets the signals already pending
// through, is held while the continue is sent, so that both have come before
// the program acts. A logged run with the same stop finds that call: the one
// after the first wait call the stop interrupted.
TEST_F(Race, ContinueAfterAStopNotYetTaken) {
  const std::string stop_at_raw = "inject=ioctl:signal=SIGTSTP:when=" + std::to_string(at.raw);
  char log[] = "/tmp/avoidrec-strace-XXXXXX";
  const int fd = mkstemp(log);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(start_traced({"-o", log, "-e", stop_at_raw}));
  report r;
  ASSERT_TRUE(s->next_report(r) && stopped_by(r, SIGTSTP)) << r.status;
  ASSERT_NO_FATAL_FAILURE(continue_in_the_foreground(*s));
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  s->reap_tracer();
  int waits = 0;
  int after_the_stop = 0;
  std::ifstream file(log);
  for (std::string call; after_the_stop == 0 && std::getline(file, call);) {
    if (call.rfind("ioctl(", 0) == 0 || call.rfind("read(", 0) == 0) continue;
    ++waits;
    if (call.find("ERESTART") != std::string::npos || call.find("EINTR") != std::string::npos)
      after_the_stop = waits + 1;
  }
  unlink(log);
  ASSERT_GT(after_the_stop, 0) << "no wait call was interrupted by the stop";

  ASSERT_TRUE(start_traced({"-o", "/dev/null", "-e", stop_at_raw, "-e",
                            "inject=" + waits_for_the_rest +
                                ":delay_enter=2000000:when=" + std::to_string(after_the_stop)}));
  // Held by strace at the start of a wait call, with the stop taken from
  // the kernel, and the signals blocked again outside the wait.
  const auto held = [&] {
    return state_of(s->pid()) == 't' && awaiting_the_rest(s->pid()) &&
           !pending_in(s->pid(), SIGTSTP) && blocked_by(s->pid(), SIGTSTP);
  };
  ASSERT_TRUE(s->within_seconds(held)) << "not held after the stop: " << s->screen;
  ASSERT_TRUE(s->signal(SIGCONT));
  ASSERT_TRUE(state_of(s->pid()) == 't' && pending_in(s->pid(), SIGCONT))
      << "the continue came after the hold";
  ASSERT_TRUE(waits_quietly(*s)) << "stopped though continued";
  EXPECT_TRUE(s->unchanged()) << "stopped though continued";
  EXPECT_TRUE(raw_mode(s->settings()));
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A key pressed as soon as the hint shows, before the terminal is in raw
// mode (the raw entry is held back here), is the key that ends the wait.
TEST_F(Race, KeyRightAfterTheHint) {
  ASSERT_TRUE(start_injecting("inject=ioctl:delay_enter=300000:when=" + std::to_string(at.raw)));
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

// A read of the key that a signal interrupts, as some systems let one do
// even with SA_RESTART, is made again, and takes the key.
TEST_F(Race, ReadOfTheKeyInterrupted) {
  ASSERT_TRUE(start_injecting("inject=read:error=EINTR:when=" + std::to_string(at.key_read)));
  ASSERT_TRUE(s->wait_for_raw_mode());
  ASSERT_TRUE(s->type("q"));
  EXPECT_EQ(s->status(), 0) << s->screen;
  EXPECT_TRUE(same_settings(s->before, s->settings()));
}

}  // namespace pause_tests
