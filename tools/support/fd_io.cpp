#include "support/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace kestrelgate::support {

int pollTimeout(Clock::time_point deadline) {
  if (deadline == kNoDeadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

void pauseFor(Clock::duration duration) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool setNonBlocking(int fd, bool nonBlocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

bool writeAll(int fd, std::string_view bytes, const volatile std::sig_atomic_t* stop) {
  while (!bytes.empty()) {
    if (stop != nullptr && *stop) {
      errno = EINTR;
      return false;
    }
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool writeAll(int fd, std::string_view bytes, Clock::time_point deadline) {
  bool hungUp = false;
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    // A hang-up is reported at once and for as long as it lasts: with no room left, waiting for
    // room would spin until the deadline.
    if (hungUp) {
      errno = EIO;
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    const int rc = poll(&p, 1, pollTimeout(deadline));
    if (rc < 0 && errno != EINTR) return false;
    if (rc == 0 && Clock::now() >= deadline) {
      errno = ETIMEDOUT;
      return false;
    }
    hungUp = rc > 0 && (p.revents & POLLOUT) == 0;
  }
  return true;
}

}  // namespace kestrelgate::support
