#include "signals.h"

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>

bool pending(int sig) {
  sigset_t set;
  return sigpending(&set) == 0 && sigismember(&set, sig) == 1;
}

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

// Blocks the reserved numbers and returns the mask found in `old`. The C
// library's sigprocmask leaves its own numbers out, so the kernel's call is
// made, with the kernel's set: bit sig - 1, in 64 bits on every Linux this
// builds for.
void hold_reserved(sigset_t& old) {
#ifdef __linux__
  std::uint64_t reserved = 0;
  for (int sig = 1; sig <= last_signal(); ++sig)
    if (handling_of(sig) == handling::hold) reserved |= std::uint64_t{1} << (sig - 1);
  syscall(SYS_rt_sigprocmask, SIG_BLOCK, &reserved, &old, sizeof reserved);
#else
  sigprocmask(SIG_BLOCK, nullptr, &old);
#endif
}

// Sets the mask as found, the reserved numbers included, by the kernel's
// call, where the C library's SIG_SETMASK would unblock them.
void restore_mask(const sigset_t& found) {
#ifdef __linux__
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &found, nullptr, sizeof(std::uint64_t));
#else
  sigprocmask(SIG_SETMASK, &found, nullptr);
#endif
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
    if (how == handling::end) action.sa_handler = to_install.end;
    if (how == handling::stop) action.sa_handler = to_install.stop;
    if (how == handling::resume) action.sa_handler = to_install.resume;
    action.sa_mask = caught;
    sigaction(sig, &action, &found[sig]);
  }
}

signal_guard::~signal_guard() {
  for (int sig = 1; sig <= std::min(last_signal(), slots - 1); ++sig)
    if (sigismember(&caught, sig) == 1) sigaction(sig, &found[sig], nullptr);
}

blocked_signals::blocked_signals(const sigset_t& caught) {
  hold_reserved(found);
  sigprocmask(SIG_BLOCK, nullptr, &sleeping);
  sigset_t block = caught;
  for (int sig = 1; sig <= last_signal(); ++sig)
    if (raised_by_faults(sig)) sigdelset(&block, sig);
  sigprocmask(SIG_BLOCK, &block, nullptr);
}

blocked_signals::~blocked_signals() {
  restore_mask(found);
}
