// The serial port on POSIX: a tty device driven through termios and the modem-control ioctls.
// Each SerialDevice operation is one request (or one get-modify-set of the termios record).
// How the neutral line settings become a termios record, and what termios renders differently
// from them, is termios_settings_posix.h's.
//
// Read time-outs: a port's own time-outs are VMIN=1, VTIME=0: a read blocks until at least one
// byte has arrived and then returns what is there, so waiting for the chess computer costs no
// CPU. getTimeouts reports that state as all zeros, which is what it means in the time-out
// model for a one-byte read. An interval time-out maps to VMIN=1 with VTIME in tenths of a
// second (rounded up, at most 25.5 s), the same "first byte without limit, then until the line
// goes quiet" rule. A total time-out without an interval one maps to VMIN=0 with VTIME from the
// constant. Write time-outs have no counterpart; writes block.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "link/device_identity_posix.h"
#include "link/held_ports_posix.h"
#include "link/serial_device.h"
#include "link/termios_settings_posix.h"

namespace kestrelgate::link {
namespace {

// VTIME counts tenths of a second in one byte.
cc_t tenthsOfSecond(std::uint32_t milliseconds) {
  const std::uint32_t tenths = milliseconds / 100 + (milliseconds % 100 != 0 ? 1 : 0);
  return static_cast<cc_t>(tenths > 255 ? 255 : tenths);
}

class PosixSerialDevice final : public SerialDevice {
 public:
  // `held` is the port's handle among the ports the process holds (holdPort).
  PosixSerialDevice(int fd, int held) : fd_(fd), held_(held) {}
  ~PosixSerialDevice() override { close(); }

  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  console::Waitable readable() override { return {fd_, console::Waitable::Kind::Input}; }

  // A tty driver reports no queue sizes and takes none.
  bool getProperties(CommProperties& properties) override {
    properties = CommProperties{};
    return true;
  }
  bool setupQueues(std::uint32_t, std::uint32_t) override { return true; }

  // The time-outs are the ones last set, all zeros before: VMIN=1, VTIME=0. The query still
  // asks the driver, so a device that is no terminal fails here as it would under Windows.
  bool getTimeouts(CommTimeouts& timeouts) override {
    termios attributes{};
    if (tcgetattr(fd_, &attributes) != 0) return false;
    timeouts = timeouts_;
    return true;
  }

  bool setTimeouts(const CommTimeouts& timeouts) override {
    cc_t vmin = 1;
    cc_t vtime = 0;
    if (timeouts.readIntervalTimeout != 0) {
      vtime = tenthsOfSecond(timeouts.readIntervalTimeout);
    } else if (timeouts.readTotalTimeoutConstant != 0) {
      vmin = 0;
      vtime = tenthsOfSecond(timeouts.readTotalTimeoutConstant);
    }
    termios attributes{};
    if (tcgetattr(fd_, &attributes) != 0) return false;
    attributes.c_cc[VMIN] = vmin;
    attributes.c_cc[VTIME] = vtime;
    if (tcsetattr(fd_, TCSANOW, &attributes) != 0) return false;
    vmin_ = vmin;
    vtime_ = vtime;
    timeouts_ = timeouts;
    return true;
  }

  bool getState() override {
    if (tcgetattr(fd_, &state_) != 0) return false;
    haveState_ = true;
    return true;
  }

  bool setState(const LineSettings& settings) override {
    termios current{};
    if (haveState_) {
      current = state_;  // every field not set by the settings stays as the port had it
    } else if (tcgetattr(fd_, &current) != 0) {
      return false;
    }
    const std::optional<termios> wanted = renderTermios(settings, current, vmin_, vtime_);
    if (!wanted || tcsetattr(fd_, TCSANOW, &*wanted) != 0) return false;
    state_ = *wanted;
    haveState_ = true;
    // RTS up unless it is to stay off. A pty has no modem lines, so a failure here is no reason
    // to refuse the settings. DTR goes up once, at the end of the configuration (raiseDtr).
    int rts = TIOCM_RTS;
    (void)ioctl(fd_, settings.rts == RtsMode::Off ? TIOCMBIC : TIOCMBIS, &rts);
    return true;
  }

  bool raiseDtr() override {
    int dtr = TIOCM_DTR;
    return ioctl(fd_, TIOCMBIS, &dtr) == 0;
  }

  bool modemStatus(std::uint32_t& status) override {
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) return false;
    status = 0;
    if ((lines & TIOCM_CAR) != 0) status |= kCarrierOn;
    if ((lines & TIOCM_DSR) != 0) status |= kDsrOn;
    return true;
  }

  ReadOutcome read(char* buffer, std::uint32_t requested) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, requested);
      if (n > 0) return {ReadStatus::Bytes, static_cast<std::uint32_t>(n), 0};
      if (n == 0) {
        // A read that blocks for its first byte returns nothing only on a hang-up; with a total
        // time-out (VMIN=0) nothing may simply mean the time ran out. Only the terminal's own
        // hang-up state tells the two apart.
        if (requested != 0 && hungUp()) return {ReadStatus::Gone, 0, 0};
        return {ReadStatus::Nothing, 0, 0};
      }
      if (errno != EINTR) {
        const auto error = static_cast<std::uint32_t>(errno);
        return {readErrorMeansDeviceGone(error) ? ReadStatus::Gone : ReadStatus::Failed, 0, error};
      }
    }
  }

  bool write(const char* data, std::uint32_t length, std::uint32_t& written) override {
    written = 0;
    for (;;) {
      const ssize_t n = ::write(fd_, data, length);
      if (n >= 0) {
        written = static_cast<std::uint32_t>(n);
        return true;
      }
      if (errno != EINTR) return false;
    }
  }

  bool waitingCount(std::uint32_t& count) override {
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) return false;
    count = static_cast<std::uint32_t>(waiting);
    return true;
  }

  void close() override {
    if (fd_ >= 0) {
      // The terminal goes back as it was found, settings, exclusive mark and lock: the mark
      // and the settings belong to the terminal, not to our descriptor, and would outlive us
      // while anyone else (a simulator, a getty) still holds it open.
      releasePort(held_);
      fd_ = -1;
    }
  }

  // The descriptor shares its open file, and with it the lock, with every copy passed on: the
  // process that takes it over holds the port from the first moment, whatever becomes of us.
  std::intptr_t passableHandle() override { return fd_; }
  std::string foundState() override { return foundAsText(held_); }
  void leave() override {
    if (fd_ >= 0) releasePort(held_, false);
    fd_ = -1;
  }

 private:
  bool hungUp() const {
    pollfd watched{fd_, 0, 0};
    return ::poll(&watched, 1, 0) == 1 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }

  int fd_;
  int held_;
  termios state_{};
  bool haveState_ = false;
  CommTimeouts timeouts_{};
  cc_t vmin_ = 1;
  cc_t vtime_ = 0;
};

class PosixSerialPlatform final : public SerialPlatform {
 private:
  // An open that failed with `error`, and what that means.
  static OpenOutcome failed(int error) {
    OpenOutcome outcome;
    outcome.error = static_cast<std::uint32_t>(error);
    switch (error) {
      case ENOENT:
      case ENOTDIR:
      case ENXIO:
      case ENODEV:
        outcome.failure = OpenFailure::NoDevice;
        break;
      case EACCES:
      case EPERM:
        outcome.failure = OpenFailure::NoPermission;
        break;
      case EBUSY:
        outcome.failure = OpenFailure::Held;
        break;
      default:
        outcome.failure = OpenFailure::Refused;
        break;
    }
    return outcome;
  }

 public:
  // COMn is /dev/ttyS(n-1), the numbering Cygwin uses; a name without a number is COM1.
  std::string devicePath(std::uint32_t specPortNumber) override {
    const std::uint32_t index = specPortNumber == 0 ? 0 : specPortNumber - 1;
    return "/dev/ttyS" + std::to_string(index);
  }

  std::optional<DeviceIdentity> identify(const std::string& path) override {
    return identifyDevice(path, "/sys");
  }

  OpenOutcome open(const std::string& path) override {
    // O_NONBLOCK only for the open itself: without it, opening a port whose CLOCAL is still off
    // waits for carrier. It is cleared at once, since every read and write must block.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return failed(errno);
    // One port, one reader: two programs reading one line would each get part of every move.
    // Serial tools agree among themselves with an exclusive flock on the device; it is taken
    // before anything about the port changes, so a port that another program holds keeps its
    // settings. TIOCEXCL then keeps out programs that do not lock (except root's).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno == EWOULDBLOCK ? EBUSY : errno;
      ::close(fd);
      return failed(error);
    }
    // A terminal another program marked for itself alone is held, even though root may open
    // it: its mark stays as it is.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
      ::close(fd);
      return failed(EBUSY);
    }
    // The settings as we found them, to be put back at close, or when a signal ends us.
    termios found{};
    const int held = holdPort(fd, tcgetattr(fd, &found) == 0 ? &found : nullptr);
    (void)ioctl(fd, TIOCEXCL);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      const int error = errno;
      releasePort(held);
      return failed(error);
    }
    return {std::make_unique<PosixSerialDevice>(fd, held), OpenFailure::None, 0};
  }

  std::unique_ptr<SerialDevice> adopt(std::intptr_t handle, const std::string& found) override {
    const int fd = static_cast<int>(handle);
    termios settings{};
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
    // The lock came with the open file, and the exclusive mark is the pair's own.
    const bool haveFound = foundFromText(found, settings);
    return std::make_unique<PosixSerialDevice>(fd, holdPort(fd, haveFound ? &settings : nullptr));
  }

  std::uint32_t milliseconds() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);  // only differences count, modulo 2^32
  }
};

}  // namespace

bool readErrorMeansDeviceGone(std::uint32_t error) {
  // EIO is what a tty gives once its other side has hung up or a USB adapter has been pulled;
  // ENXIO and ENODEV what a device node gives whose device has been removed. EAGAIN, EINTR and
  // the rest can pass.
  switch (static_cast<int>(error)) {
    case EIO:
    case ENXIO:
    case ENODEV:
      return true;
    default:
      return false;
  }
}

SerialPlatform& systemSerialPlatform() {
  static PosixSerialPlatform platform;
  return platform;
}

bool acceptsDevicePaths() {
  return true;
}

}  // namespace kestrelgate::link
