#include "signals.h"

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstring>

int last_signal() {
#ifdef SIGRTMAX
  // FreeBSD's NSIG counts only the classic signals; its real-time signals
  // run to 126.
  return std::max(NSIG - 1, static_cast<int>(SIGRTMAX));
#else
  return NSIG - 1;
#endif
}

namespace {

// Signals whose default action is to be ignored. Caught to end the program,
// one would end the wait where the system means nothing to happen.
bool ignored_by_default(int sig) {
  switch (sig) {
    // Everywhere: a child's change of state, urgent socket data, a new window
    // size.
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
#ifdef SIGINFO
    // The BSDs, macOS and illumos: the status key, Ctrl-T.
    case SIGINFO:
#endif
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || \
    defined(__DragonFly__)
    // I/O possible: ignored there, but it ends the program on Linux.
    case SIGIO:
#endif
#ifdef __sun
    // illumos: power failure, and the signals of threads, checkpoints,
    // resource controls and the Java VM.
    case SIGPWR:
    case SIGWAITING:
    case SIGLWP:
    case SIGCANCEL:
    case SIGFREEZE:
    case SIGTHAW:
    case SIGXRES:
    case SIGJVM1:
    case SIGJVM2:
#endif
      return true;
    default:
      return false;
  }
}

// glibc's reserved real-time signals (32 and 33; musl's run to 34): the
// kernel's first real-time numbers, below the C library's SIGRTMIN, kept for
// its threads. Its sigaction refuses them and its sigprocmask leaves them
// out, but their default action still ends a program.
bool reserved_by_the_c_library(int sig) {
#if defined(__linux__) && defined(SIGRTMIN)
  constexpr int kernel_first_realtime = 32;
  return sig >= kernel_first_realtime && sig < SIGRTMIN;
#else
  static_cast<void>(sig);
  return false;
#endif
}

}  // namespace

bool raised_by_faults(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP ||
         sig == SIGSYS;
}

handling handling_of(int sig) {
  if (sig == SIGKILL || sig == SIGSTOP) return handling::leave;
  if (sig == SIGCONT) return handling::resume;
  if (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU) return handling::stop;
  if (ignored_by_default(sig)) return handling::leave;
  if (reserved_by_the_c_library(sig)) return handling::hold;
  return handling::end;
}

namespace {

// Adds sig to a set. The C library's sigaddset refuses its own reserved
// numbers; on Linux its sigset_t is the kernel's bit set, bit sig - 1 in
// words of unsigned long, which this writes directly.
void add_number(sigset_t& set, int sig) {
  if (handling_of(sig) != handling::hold) {
    sigaddset(&set, sig);
    return;
  }
#ifdef __linux__
  constexpr int bits = CHAR_BIT * sizeof(unsigned long);
  unsigned long word = 0;
  auto* const at = reinterpret_cast<unsigned char*>(&set) + (sig - 1) / bits * sizeof word;
  std::memcpy(&word, at, sizeof word);
  word |= 1UL << ((sig - 1) % bits);
  std::memcpy(at, &word, sizeof word);
#endif
}

// Changes the signal mask as sigprocmask does, but for every number. The C
// library's sigprocmask leaves its reserved numbers out: its SIG_SETMASK
// would unblock them. On Linux the kernel's own call sets them too.
void change_mask(int how, const sigset_t* set, sigset_t* old) {
#ifdef __linux__
  constexpr std::size_t bits = CHAR_BIT * sizeof(unsigned long);
  constexpr std::size_t kernel_set_size = (NSIG - 1 + bits - 1) / bits * sizeof(unsigned long);
  static_assert(kernel_set_size <= sizeof(sigset_t), "the kernel's set would not fit");
  syscall(SYS_rt_sigprocmask, how, set, old, kernel_set_size);
#else
  sigprocmask(how, set, old);
#endif
}

void add_reserved(sigset_t& set) {
  for (int sig = 1; sig <= last_signal(); ++sig)
    if (handling_of(sig) == handling::hold) add_number(set, sig);
}

}  // namespace

sigset_t signals_to_catch() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig = 1; sig <= last_signal(); ++sig) {
    const handling how = handling_of(sig);
    struct sigaction now {};
    if (how == handling::leave || how == handling::hold) continue;
    if (sigaction(sig, nullptr, &now) != 0) continue;
    if (how == handling::resume || now.sa_handler == SIG_DFL) sigaddset(&set, sig);
  }
  return set;
}

signal_guard::signal_guard(const sigset_t& caught, const handlers& to_install) : caught(caught) {
  static_assert(NSIG <= slots, "a signal number would have no slot");
  for (int sig = 1; sig <= std::min(last_signal(), slots - 1); ++sig) {
    if (sigismember(&caught, sig) != 1) continue;
    const handling how = handling_of(sig);
    struct sigaction action {};
    if (how == handling::end) {
      action.sa_sigaction = to_install.end;
      action.sa_flags = SA_SIGINFO;
    } else {
      action.sa_handler = how == handling::stop ? to_install.stop : to_install.resume;
    }
    action.sa_mask = caught;
    sigaction(sig, &action, &found[sig]);
  }
}

signal_guard::~signal_guard() {
  for (int sig = 1; sig <= std::min(last_signal(), slots - 1); ++sig)
    if (sigismember(&caught, sig) == 1) sigaction(sig, &found[sig], nullptr);
}

blocked_signals::blocked_signals(const sigset_t& caught) {
  sigset_t block = caught;
  for (int sig = 1; sig <= last_signal(); ++sig)
    if (raised_by_faults(sig)) sigdelset(&block, sig);
  add_reserved(block);
  change_mask(SIG_BLOCK, &block, &found);
  sleeping = found;
  add_reserved(sleeping);
}

blocked_signals::~blocked_signals() {
  change_mask(SIG_SETMASK, &found, nullptr);
}
