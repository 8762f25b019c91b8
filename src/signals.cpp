#include "signals.h"

#include <algorithm>
#include <csignal>

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

handling handling_of(int sig) {
  if (sig == SIGKILL || sig == SIGSTOP) return handling::leave;
  if (sig == SIGCONT) return handling::resume;
  if (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU) return handling::stop;
  if (ignored_by_default(sig)) return handling::leave;
  if (reserved_by_the_c_library(sig)) return handling::hold;
  return handling::end;
}
