// Waiting on POSIX: every waitable is a descriptor, and one poll() waits for all of them.
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

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
    if (w.kind == Waitable::Kind::Always) always = true;
  }
  const std::uint64_t start = nowMilliseconds();
  for (;;) {
    int timeout = -1;
    if (always) {
      timeout = 0;
    } else if (milliseconds != kNoTimeout) {
      const std::uint64_t spent = nowMilliseconds() - start;
      timeout = spent >= milliseconds ? 0 : static_cast<int>(milliseconds - spent);
    }
    const int ready = ::poll(watched, waitables.size(), timeout);
    if (ready < 0 && errno == EINTR) continue;
    for (std::size_t i = 0; i < waitables.size(); ++i) {
      if (waitables[i].kind == Waitable::Kind::Always) return i;
      if (ready > 0 && watched[i].revents != 0) return i;
    }
    if (ready < 0) return kTimedOut;  // a wait that cannot be made cannot be kept either
    if (milliseconds != kNoTimeout && nowMilliseconds() - start >= milliseconds) return kTimedOut;
  }
}

Wakeup::Wakeup() {
  int ends[2] = {-1, -1};
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
  }
}

Wakeup::~Wakeup() {
  if (readEnd_ >= 0) close(static_cast<int>(readEnd_));
  if (writeEnd_ >= 0) close(static_cast<int>(writeEnd_));
}

void Wakeup::signal() {
  const char byte = 1;
  // A full pipe is already signalled.
  (void)!write(static_cast<int>(writeEnd_), &byte, 1);
}

void Wakeup::consume() {
  char buffer[64];
  while (read(static_cast<int>(readEnd_), buffer, sizeof buffer) > 0) {
  }
}

Waitable Wakeup::waitable() const {
  return {readEnd_, Waitable::Kind::Input};
}

}  // namespace kestrelgate::console
