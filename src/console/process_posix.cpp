#include "console/process_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include "console/process.h"

namespace kestrelgate::console {
namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void (*putBackAtSignal)() = nullptr;
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t noted = 0;

void onEndingSignal(int signal) {
  if (deferring != 0) {
    noted = signal;
    return;
  }
  const int saved = errno;
  if (putBackAtSignal != nullptr) putBackAtSignal();
  // SA_RESETHAND has put the default action back; raised again, the signal ends the process
  // as it would have without us (status, core dump for SIGQUIT), once this handler returns.
  (void)raise(signal);
  errno = saved;
}

sigset_t endingSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kEndingSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void preparePlatformProcess() {
  // A process started with standard input, output or error closed (a launcher that closes
  // them, `kestrelgate PORT >&-`) would hand that number to the next file it opens: the serial
  // port would become our standard output, and the UCI conversation would go to the chess
  // computer, or its printout be read as commands. Each closed one is opened on the null device
  // first, before anything else is opened, so no port can take its number.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  // A GUI that closes its end of our output must not kill us with SIGPIPE: the write then
  // fails with EPIPE, which the console output drops silently, and we carry on.
  std::signal(SIGPIPE, SIG_IGN);
}

void catchEndingSignals(void (*putBack)()) {
  static bool caught = false;
  if (std::exchange(caught, true)) return;
  putBackAtSignal = putBack;
  for (const int signal : kEndingSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) continue;
    // A signal the parent set to be ignored (nohup) stays ignored; one someone else handles
    // is theirs.
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    (void)sigaction(signal, &action, nullptr);
  }
}

void deferEndingSignals(bool defer) {
  // Blocked outside the waits, a signal can only come where the program looks for it.
  const sigset_t set = endingSet();
  if (defer) {
    sigprocmask(SIG_BLOCK, &set, nullptr);
    deferring = 1;
  } else if (noted == 0) {
    deferring = 0;
    // One that came meanwhile and still waits is delivered here, and acts as always.
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
  }
}

int endingSignal() {
  return noted;
}

void endBySignal(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  (void)sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  (void)raise(signal);
  _exit(128 + signal);  // not reached: the signal's action ends the process
}

const sigset_t& maskDuringWaits() {
  static const sigset_t mask = [] {
    sigset_t own;
    sigprocmask(SIG_SETMASK, nullptr, &own);
    for (const int signal : kEndingSignals) sigdelset(&own, signal);
    return own;
  }();
  return mask;
}

}  // namespace kestrelgate::console
