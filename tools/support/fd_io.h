#pragma once

// Descriptor I/O shared by the pseudo-terminal pair and the child process: complete writes, and
// waits that end at a deadline.

#include <chrono>
#include <csignal>
#include <string_view>

namespace kestrelgate::support {

using Clock = std::chrono::steady_clock;

// A deadline that never passes: the wait lasts as long as it takes.
inline constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

// The time left until the deadline as a poll() timeout: -1 for kNoDeadline, otherwise rounded
// up, so that a wait shortly before its deadline sleeps instead of spinning at 0 ms.
int pollTimeout(Clock::time_point deadline);

// Sleeps for the whole duration, signals or not.
void pauseFor(Clock::duration duration);

// Closes the descriptor if it is open and marks it closed.
void closeFd(int& fd);

// Sets or clears O_NONBLOCK. False, with errno set, when that fails.
bool setNonBlocking(int fd, bool nonBlocking);

// Writes all of `bytes` to a blocking descriptor. A write interrupted by a signal goes on,
// unless `stop` is given and set by then; no write starts once it is set. False, with errno
// set, on failure; errno is EINTR when the stop came first.
bool writeAll(int fd, std::string_view bytes, const volatile std::sig_atomic_t* stop = nullptr);

// Writes all of `bytes` to a non-blocking descriptor, waiting for room until the deadline.
// False, with errno set, on failure; ETIMEDOUT when the deadline passed first, EIO when the
// other end hung up with no room left.
bool writeAll(int fd, std::string_view bytes, Clock::time_point deadline);

}  // namespace kestrelgate::support
