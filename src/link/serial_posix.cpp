// The serial port on POSIX: a tty device driven through termios and the modem-control ioctls.
// Each SerialDevice operation is one request (or one get-modify-set of the termios record).
//
// Where the Windows model has no termios counterpart:
// - Read time-outs. A port's own time-outs are VMIN=1, VTIME=0: a read blocks until at least one
//   byte has arrived and then returns what is there, so waiting for the chess computer costs no
//   CPU. getTimeouts reports that state as all zeros, which is what it means in the Windows model
//   for a one-byte read. An interval time-out maps to VMIN=1 with VTIME in tenths of a second
//   (rounded up, at most 25.5 s), the same "first byte without limit, then until the line goes
//   quiet" rule. A total time-out without an interval one maps to VMIN=0 with VTIME from the
//   constant. Write time-outs have no counterpart; writes block.
// - The binary flag (end-of-file character handling) and DSR sensitivity have no counterpart and
//   are not rendered; the channel's fixed settings ask for binary mode, which raw termios is.
// - One and a half stop bits: a UART sends 1.5 stop bits when asked for "two" with 5-bit
//   characters, so that combination maps to CSTOPB; with any other character size it is refused,
//   as a 16550 under Windows refuses it.
// - RTS handshake on input and CTS pacing of output are one flag here (CRTSCTS); it is set only
//   when output is to be paced by CTS. Otherwise RTS is simply raised, which is what the chess
//   computer sees of "raised while the receive queue has room".
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
#include "link/serial_device.h"

namespace kestrelgate::link {
namespace {

struct SpeedEntry {
  std::uint32_t bitsPerSecond;
  speed_t code;
};

// The rates termios can name. Any other rate is refused rather than rounded.
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool speedCode(std::uint32_t bitsPerSecond, speed_t& code) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.bitsPerSecond == bitsPerSecond) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

std::uint32_t speedRate(speed_t code) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.code == code) return entry.bitsPerSecond;
  }
  return 0;
}

bool characterSize(std::uint8_t dataBits, tcflag_t& size) {
  switch (dataBits) {
    case 5:
      size = CS5;
      return true;
    case 6:
      size = CS6;
      return true;
    case 7:
      size = CS7;
      return true;
    case 8:
      size = CS8;
      return true;
    default:
      return false;
  }
}

// VTIME counts tenths of a second in one byte.
cc_t tenthsOfSecond(std::uint32_t milliseconds) {
  const std::uint32_t tenths = milliseconds / 100 + (milliseconds % 100 != 0 ? 1 : 0);
  return static_cast<cc_t>(tenths > 255 ? 255 : tenths);
}

class PosixSerialDevice final : public SerialDevice {
 public:
  explicit PosixSerialDevice(int fd) : fd_(fd) {}
  ~PosixSerialDevice() override { close(); }

  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

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

  bool getState(LineSettings& settings) override {
    if (tcgetattr(fd_, &state_) != 0) return false;
    haveState_ = true;
    settings.baudRate = speedRate(cfgetospeed(&state_));
    settings.binary = true;
    settings.parityCheck = (state_.c_iflag & INPCK) != 0;
    settings.outxCtsFlow = (state_.c_cflag & CRTSCTS) != 0;
    settings.outxDsrFlow = false;
    settings.dtrControl = DtrControl::Enable;
    settings.dsrSensitivity = false;
    settings.outX = (state_.c_iflag & IXON) != 0;
    settings.inX = (state_.c_iflag & IXOFF) != 0;
    settings.nullStrip = false;
    settings.rtsControl =
        (state_.c_cflag & CRTSCTS) != 0 ? RtsControl::Handshake : RtsControl::Enable;
    settings.abortOnError = false;
    switch (state_.c_cflag & CSIZE) {
      case CS5:
        settings.byteSize = 5;
        break;
      case CS6:
        settings.byteSize = 6;
        break;
      case CS7:
        settings.byteSize = 7;
        break;
      default:
        settings.byteSize = 8;
        break;
    }
    settings.parity = kNoParity;
    if ((state_.c_cflag & PARENB) != 0) {
      const bool odd = (state_.c_cflag & PARODD) != 0;
      settings.parity = odd ? kOddParity : kEvenParity;
#ifdef CMSPAR
      if ((state_.c_cflag & CMSPAR) != 0) settings.parity = odd ? kMarkParity : kSpaceParity;
#endif
    }
    settings.stopBits = (state_.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
    return true;
  }

  bool setState(const LineSettings& settings) override {
    termios attributes{};
    if (haveState_) {
      attributes = state_;  // every field not set below stays as the port had it
    } else if (tcgetattr(fd_, &attributes) != 0) {
      return false;
    }

    speed_t speed{};
    if (!speedCode(settings.baudRate, speed)) return false;
    tcflag_t size{};
    if (!characterSize(settings.byteSize, size)) return false;

    // Input: bytes arrive as sent. No break or parity marking, no stripping of bit 7, no CR/LF
    // translation; the move reader does its own line handling.
    attributes.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY);
#ifdef IUCLC
    attributes.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
    attributes.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
    // Software flow control only when asked for: an XON or XOFF byte is data otherwise.
    setFlag(attributes.c_iflag, IXON, settings.outX);
    setFlag(attributes.c_iflag, IXOFF, settings.inX);
    setFlag(attributes.c_iflag, INPCK, settings.parityCheck);
    // Output: no processing at all.
    attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    // Local: no echo, no line editing, no signal characters, no extended input processing.
    attributes.c_lflag &=
        ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);

    // Control: the character frame, the receiver on, modem lines not gating the port, and no
    // hang-up on close (closing the channel changes no line state).
    attributes.c_cflag &=
        ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | HUPCL | CRTSCTS);
#ifdef CMSPAR
    attributes.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    attributes.c_cflag |= size | CLOCAL | CREAD;
    switch (settings.parity) {
      case kNoParity:
        break;
      case kEvenParity:
        attributes.c_cflag |= PARENB;
        break;
      case kOddParity:
        attributes.c_cflag |= PARENB | PARODD;
        break;
#ifdef CMSPAR
      case kMarkParity:
        attributes.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case kSpaceParity:
        attributes.c_cflag |= PARENB | CMSPAR;
        break;
#endif
      default:
        return false;  // mark or space parity without CMSPAR, or an unknown code
    }
    switch (settings.stopBits) {
      case kOneStopBit:
        break;
      case kOne5StopBits:
        if (settings.byteSize != 5) return false;
        attributes.c_cflag |= CSTOPB;
        break;
      case kTwoStopBits:
        attributes.c_cflag |= CSTOPB;
        break;
      default:
        return false;
    }
    if (settings.outxCtsFlow) attributes.c_cflag |= CRTSCTS;

    attributes.c_cc[VMIN] = vmin_;
    attributes.c_cc[VTIME] = vtime_;
    if (cfsetispeed(&attributes, speed) != 0 || cfsetospeed(&attributes, speed) != 0) {
      return false;
    }
    if (tcsetattr(fd_, TCSANOW, &attributes) != 0) return false;
    state_ = attributes;
    haveState_ = true;

    // DTR up, and RTS up unless it is to stay off. A pty has no modem lines, so failures here
    // are no reason to refuse the settings.
    int dtr = TIOCM_DTR;
    (void)ioctl(fd_, TIOCMBIS, &dtr);
    int rts = TIOCM_RTS;
    (void)ioctl(fd_, settings.rtsControl == RtsControl::Disable ? TIOCMBIC : TIOCMBIS, &rts);
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
      // The exclusive flag belongs to the terminal, not to our descriptor: it would outlive
      // us while anyone else (a simulator, a getty) still holds the terminal open.
      (void)ioctl(fd_, TIOCNXCL);
      ::close(fd_);  // lets go of the lock too
      fd_ = -1;
    }
  }

 private:
  bool hungUp() const {
    pollfd watched{fd_, 0, 0};
    return ::poll(&watched, 1, 0) == 1 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }

  static void setFlag(tcflag_t& flags, tcflag_t bit, bool on) {
    if (on) {
      flags |= bit;
    } else {
      flags &= ~bit;
    }
  }

  int fd_;
  termios state_{};
  bool haveState_ = false;
  CommTimeouts timeouts_{};
  cc_t vmin_ = 1;
  cc_t vtime_ = 0;
};

class PosixSerialPlatform final : public SerialPlatform {
 public:
  // COMn is /dev/ttyS(n-1), the numbering Cygwin uses; a name without a number is COM1.
  std::string devicePath(std::uint32_t specPortNumber) override {
    const std::uint32_t index = specPortNumber == 0 ? 0 : specPortNumber - 1;
    return "/dev/ttyS" + std::to_string(index);
  }

  std::optional<DeviceIdentity> identify(const std::string& path) override {
    return identifyDevice(path, "/sys");
  }

  std::unique_ptr<SerialDevice> open(const std::string& path) override {
    // O_NONBLOCK only for the open itself: without it, opening a port whose CLOCAL is still off
    // waits for carrier. It is cleared at once, since every read and write must block.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    // One port, one reader: two programs reading one line would each get part of every move.
    // Serial tools agree among themselves with an exclusive flock on the device; it is taken
    // before anything about the port changes, so a port that another program holds keeps its
    // settings. TIOCEXCL then keeps out programs that do not lock (except root's).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return nullptr;
    }
    (void)ioctl(fd, TIOCEXCL);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixSerialDevice>(fd);
  }

  void sleep(std::uint32_t milliseconds) override {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
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
