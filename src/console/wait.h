#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

namespace kestrelgate::console {

// Something a thread can sleep on, using no CPU, until it is ready: a descriptor (POSIX) or a
// handle (Windows) and what readiness means for it. Made by the objects that own the
// descriptor or handle; the portable code only passes them to waitForAny.
struct Waitable {
  enum class Kind : std::uint8_t {
    Input,   // bytes to read, or the other end gone (a read will not block)
    Gone,    // the reader at the other end of an output has gone
    Object,  // a Windows wait object is signalled (an event, a process)
    Always,  // ready at once: a device the platform cannot wait on without reading it
    Never,   // never ready
  };
  std::intptr_t handle = -1;
  Kind kind = Kind::Never;
};

inline constexpr std::size_t kTimedOut = std::numeric_limits<std::size_t>::max();
inline constexpr std::uint32_t kNoTimeout = std::numeric_limits<std::uint32_t>::max();

// Sleeps until one of `waitables` is ready and returns its index (the lowest ready one), or
// kTimedOut once `milliseconds` have passed.
std::size_t waitForAny(const std::vector<Waitable>& waitables,
                       std::uint32_t milliseconds = kNoTimeout);

// A wake-up call from another thread: signal() makes waitable() ready until consume().
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  void signal();
  void consume();
  Waitable waitable() const;

 private:
  // A pipe's two ends on POSIX; an event and nothing on Windows.
  std::intptr_t readEnd_ = -1;
  std::intptr_t writeEnd_ = -1;
};

}  // namespace kestrelgate::console
