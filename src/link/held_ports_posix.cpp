#include "link/held_ports_posix.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace kestrelgate::link {
namespace {

// A program holds one port; the tests hold a few at once. A port beyond these is still
// released at close, just not on a signal.
constexpr int kSlots = 16;

struct Slot {
  // The descriptor, or -1. Whoever exchanges it for -1 first (the close or the signal handler)
  // releases the port; the settings below are written before the descriptor is published.
  std::atomic<int> fd{-1};
  termios found{};
  bool haveFound = false;
};

Slot slots[kSlots];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slots");

// Only calls that are safe in a signal handler.
void putBack(int fd, const termios* found) {
  if (found != nullptr) (void)tcsetattr(fd, TCSANOW, found);
  // The mark belongs to the terminal, not to our descriptor.
  (void)ioctl(fd, TIOCNXCL);
  (void)flock(fd, LOCK_UN);
  (void)::close(fd);
}

void releaseAll() {
  for (Slot& slot : slots) {
    const int fd = slot.fd.exchange(-1);
    if (fd >= 0) putBack(fd, slot.haveFound ? &slot.found : nullptr);
  }
}

void onEndingSignal(int signal) {
  const int saved = errno;
  releaseAll();
  // SA_RESETHAND has put the default action back; raised again, the signal ends the process
  // as it would have without us (status, core dump for SIGQUIT), once this handler returns.
  (void)raise(signal);
  errno = saved;
}

void catchEndingSignals() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
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
  });
}

}  // namespace

int holdPort(int fd, const termios* found) {
  catchEndingSignals();
  for (int handle = 0; handle < kSlots; ++handle) {
    Slot& slot = slots[handle];
    int expected = -1;
    // Claimed with a placeholder first, so the settings are in place before the handler can
    // see the descriptor.
    if (!slot.fd.compare_exchange_strong(expected, -2)) continue;
    slot.haveFound = found != nullptr;
    if (found != nullptr) slot.found = *found;
    slot.fd.store(fd);
    return handle;
  }
  return -1 - fd;  // no slot: the handle carries the descriptor itself
}

void releasePort(int handle) {
  if (handle < 0) {
    putBack(-1 - handle, nullptr);
    return;
  }
  Slot& slot = slots[handle];
  const int fd = slot.fd.exchange(-1);
  if (fd >= 0) putBack(fd, slot.haveFound ? &slot.found : nullptr);
}

}  // namespace kestrelgate::link
