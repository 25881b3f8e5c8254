// Waiting on POSIX: every waitable is a descriptor, and one ppoll() waits for all of them. The
// signals that end the process are let through during the wait even while the program holds
// them back (a process sharing its port hands over before it ends), so that such a signal
// always ends a wait.
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "console/process.h"
#include "console/process_posix.h"
#include "console/wait.h"

namespace kestrelgate::console {
namespace {

std::uint64_t nowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace

std::size_t waitForAny(const std::vector<Waitable>& waitables, std::uint32_t milliseconds) {
  // A wait comes before every byte read from the port: no allocation for the usual few.
  constexpr std::size_t kUsual = 8;
  pollfd usual[kUsual];
  std::vector<pollfd> more(waitables.size() > kUsual ? waitables.size() : 0);
  pollfd* const watched = more.empty() ? usual : more.data();
  bool always = false;
  for (std::size_t i = 0; i < waitables.size(); ++i) {
    const Waitable& w = waitables[i];
    // A negative descriptor is skipped by poll: that is what "never" is.
    watched[i].fd = w.kind == Waitable::Kind::Input || w.kind == Waitable::Kind::Gone
                        ? static_cast<int>(w.handle)
                        : -1;
    // With no events asked for, poll reports only a hang-up or an error: a pipe whose reader
    // has gone reports POLLERR on its writing end, a socket or terminal POLLHUP.
    watched[i].events = w.kind == Waitable::Kind::Input ? POLLIN : 0;
    watched[i].revents = 0;
    if (w.kind == Waitable::Kind::Always) always = true;
  }
  const std::uint64_t start = nowMilliseconds();
  for (;;) {
    // Something ready at once is only looked at beside the rest: a zero time limit.
    timespec limit{};
    const timespec* timeout = always ? &limit : nullptr;
    if (!always && milliseconds != kNoTimeout) {
      const std::uint64_t spent = nowMilliseconds() - start;
      const std::uint64_t left = spent >= milliseconds ? 0 : milliseconds - spent;
      limit = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
      timeout = &limit;
    }
    const int ready = ::ppoll(watched, waitables.size(), timeout, &maskDuringWaits());
    if (ready < 0 && errno == EINTR) {
      if (endingSignal() != 0) return kTimedOut;
      continue;
    }
    for (std::size_t i = 0; i < waitables.size(); ++i) {
      if (waitables[i].kind == Waitable::Kind::Always) return i;
      if (ready > 0 && watched[i].revents != 0) return i;
    }
    if (ready < 0) return kTimedOut;  // a wait that cannot be made cannot be kept either
    if (milliseconds != kNoTimeout && nowMilliseconds() - start >= milliseconds) return kTimedOut;
  }
}

}  // namespace kestrelgate::console
