#include "link/held_ports_posix.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "console/process.h"

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
  // The mark belongs to the terminal, not to our descriptor. It is ours: a terminal another
  // program had marked is never held.
  (void)ioctl(fd, TIOCNXCL);
  (void)flock(fd, LOCK_UN);
  (void)::close(fd);
}

void release(Slot& slot, bool back) {
  const int fd = slot.fd.exchange(-1);
  if (fd < 0) return;
  if (back) {
    putBack(fd, slot.haveFound ? &slot.found : nullptr);
  } else {
    (void)::close(fd);
  }
}

void releaseAll() {
  for (Slot& slot : slots) release(slot, true);
}

}  // namespace

int holdPort(int fd, const termios* found) {
  console::catchEndingSignals(&releaseAll);
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

void releasePort(int handle, bool back) {
  if (handle >= 0) {
    release(slots[handle], back);
  } else if (back) {
    putBack(-1 - handle, nullptr);
  } else {
    (void)::close(-1 - handle);
  }
}

std::string foundAsText(int handle) {
  if (handle < 0 || !slots[handle].haveFound) return "-";
  static const char digits[] = "0123456789abcdef";
  std::string text;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&slots[handle].found);
  for (std::size_t i = 0; i < sizeof(termios); ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
  }
  return text;
}

bool foundFromText(const std::string& text, termios& found) {
  if (text.size() != 2 * sizeof(termios)) return false;
  auto* bytes = reinterpret_cast<unsigned char*>(&found);
  for (std::size_t i = 0; i < sizeof(termios); ++i) {
    unsigned value = 0;
    for (const char c : text.substr(2 * i, 2)) {
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    bytes[i] = static_cast<unsigned char>(value);
  }
  return true;
}

}  // namespace kestrelgate::link
