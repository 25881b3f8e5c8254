#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrelgate::support {
namespace {

// Raw 8-bit at the chess computer's 600 bit/s. The line discipline processes bytes as they
// arrive from the master, not when they are read, so anything queued while the terminal side
// is still in its default cooked mode would already have been altered (CR turned into LF,
// echoed back to us, held for a canonical line): the mode has to be raw before the first byte
// is written.
bool makeRaw(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) return false;
  cfmakeraw(&mode);
  mode.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&mode, B600);
  cfsetospeed(&mode, B600);
  return tcsetattr(fd, TCSANOW, &mode) == 0;
}

}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error_ = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    closeFd(master_);
    return;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    error_ = "ptsname failed";
    closeFd(master_);
    return;
  }
  path_ = name;
  if (!openTerminal() || !makeRaw(terminal_)) {
    error_ = "cannot set up " + path_ + ": " + std::strerror(errno);
    closeFd(terminal_);
    closeFd(master_);
  }
}

PtyPair::~PtyPair() {
  unplug();
}

bool PtyPair::openTerminal() {
  closeFd(terminal_);
  terminal_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  return terminal_ >= 0;
}

void PtyPair::closeTerminal() {
  closeFd(terminal_);
}

bool PtyPair::setMasterNonBlocking(bool nonBlocking) {
  if (masterNonBlocking_ == nonBlocking) return true;
  if (!setNonBlocking(master_, nonBlocking)) return false;
  masterNonBlocking_ = nonBlocking;
  return true;
}

bool PtyPair::print(std::string_view bytes, const volatile std::sig_atomic_t* stop) {
  return setMasterNonBlocking(false) && writeAll(master_, bytes, stop);
}

bool PtyPair::print(std::string_view bytes, Clock::time_point deadline) {
  return setMasterNonBlocking(true) && writeAll(master_, bytes, deadline);
}

long PtyPair::printSome(std::string_view bytes) {
  if (!setMasterNonBlocking(true)) return -1;
  const ssize_t n = write(master_, bytes.data(), bytes.size());
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return n;
}

std::string PtyPair::received(Clock::time_point deadline) {
  std::string bytes;
  while (master_ >= 0) {
    pollfd p{master_, POLLIN, 0};
    const int ready = poll(&p, 1, pollTimeout(deadline));
    if (ready < 0 && errno == EINTR) continue;
    // A hang-up (nobody holds the terminal side) is no byte either.
    if (ready <= 0 || (p.revents & POLLIN) == 0) {
      if (Clock::now() >= deadline) break;
      pauseFor(std::chrono::milliseconds(10));
      continue;
    }
    char buffer[256];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

int PtyPair::unreadBytes() const {
  int count = -1;
  if (ioctl(terminal_, FIONREAD, &count) != 0) return -1;
  return count;
}

int PtyPair::waitForUnreadBytes(int count, Clock::time_point deadline) const {
  for (;;) {
    const int unread = unreadBytes();
    if (unread == count || Clock::now() >= deadline) return unread;
    pauseFor(std::chrono::milliseconds(10));
  }
}

void PtyPair::unplug() {
  closeFd(terminal_);
  closeFd(master_);
}

}  // namespace kestrelgate::support
