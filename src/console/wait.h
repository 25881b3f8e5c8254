#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace kestrelgate::console {

// Something the program can sleep on, using no CPU, until it is ready: a descriptor (POSIX) or
// a handle (Windows) and what readiness means for it. Made by the objects that own the
// descriptor or handle; the portable code only passes them to waitForAny.
struct Waitable {
  enum class Kind : std::uint8_t {
    Input,   // bytes to read, or the other end gone or in error (a read will not block)
    Gone,    // the reader at the other end of an output has gone
    Object,  // a Windows wait object is signalled (an event, a process)
    Always,  // ready at once
    Never,   // never ready
  };
  std::intptr_t handle = -1;
  Kind kind = Kind::Never;
};

inline constexpr std::size_t kTimedOut = std::numeric_limits<std::size_t>::max();
inline constexpr std::uint32_t kNoTimeout = std::numeric_limits<std::uint32_t>::max();

// Sleeps until one of `waitables` is ready and returns its index (the lowest ready one), or
// kTimedOut once `milliseconds` have passed or a signal that ends the process has come. A
// descriptor that has hung up, failed or was never open counts as ready: the caller's next call
// on it says which, and the caller stops waiting on it, so no wait can turn into a spin.
std::size_t waitForAny(const std::vector<Waitable>& waitables,
                       std::uint32_t milliseconds = kNoTimeout);

}  // namespace kestrelgate::console
