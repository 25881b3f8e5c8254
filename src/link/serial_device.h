#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "console/wait.h"
#include "link/port_spec.h"

namespace kestrelgate::link {

// Queue sizes the driver reports; zero where it reports none.
struct CommProperties {
  std::uint32_t currentTxQueue = 0;
  std::uint32_t maxTxQueue = 0;
  std::uint32_t currentRxQueue = 0;
  std::uint32_t maxRxQueue = 0;
};

// Read and write time-outs in milliseconds, with the meaning a Windows COMMTIMEOUTS has.
struct CommTimeouts {
  std::uint32_t readIntervalTimeout = 0;
  std::uint32_t readTotalTimeoutMultiplier = 0;
  std::uint32_t readTotalTimeoutConstant = 0;
  std::uint32_t writeTotalTimeoutMultiplier = 0;
  std::uint32_t writeTotalTimeoutConstant = 0;

  friend bool operator==(const CommTimeouts&, const CommTimeouts&) = default;
};

// How DTR is set while the port is open.
enum class DtrMode : std::uint8_t { Off, On };
// How RTS is driven: kept off, or raised while the receive queue has room for more.
enum class RtsMode : std::uint8_t { Off, Handshake };

// The line settings the channel asks a port for, in neutral terms. Each backend renders them
// next to its own call and keeps every other setting of the port as it found it. Software flow
// control (XON/XOFF), DSR pacing of output, NUL stripping and stopping at a line error are
// never asked for: every backend turns them off, so that every byte the chess computer sends
// reaches the reader.
struct LineSettings {
  std::uint32_t speed = 0;  // bits per second
  std::uint8_t dataBits = 8;
  ParityKind parity = ParityKind::None;
  StopBitsKind stopBits = StopBitsKind::One;
  bool checkParity = false;     // received characters with a parity error are marked
  bool binary = true;           // no end-of-file character
  bool ctsOutputFlow = false;   // output waits while CTS is off
  bool dsrSensitivity = false;  // received bytes are ignored while DSR is off
  DtrMode dtr = DtrMode::Off;
  RtsMode rts = RtsMode::Handshake;

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Modem status bits.
inline constexpr std::uint32_t kDsrOn = 0x0020;
inline constexpr std::uint32_t kCarrierOn = 0x0080;

// What one read request came to, decided by the backend that made it.
enum class ReadStatus {
  Bytes,    // `count` bytes arrived
  Nothing,  // the request ended without a byte: a time-out, or a quiet line
  Failed,   // the request failed; the next one may succeed
  Gone,     // the device itself has gone (an adapter unplugged, a line hung up): no further
            // read on this handle can succeed, and only opening the device again may help
};

struct ReadOutcome {
  ReadStatus status = ReadStatus::Nothing;
  std::uint32_t count = 0;  // bytes delivered, for Bytes
  std::uint32_t error = 0;  // the operating system's error code, for Failed and Gone

  friend bool operator==(const ReadOutcome&, const ReadOutcome&) = default;
};

// What a port's name leads to, as far as the platform can tell without opening it. Taken at
// the first open and again before every reopen.
struct DeviceIdentity {
  // The hardware behind the name can be recognised again (a pseudo-terminal's cannot).
  bool reopenable = false;
  // That hardware, or why there is none to recognise.
  std::string description;
  // Where the name is a symbolic link, which link it is: a link removed and made again (udev
  // on a replug, a simulator on a restart) is another. Empty for any other name.
  std::string link;

  friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// Whether the device found under the name `now` may be opened for the one the channel was first
// opened on (`first`): the same recognisable hardware, or a link that was made again and so
// says where the user's device now is. A link that stayed in place while its device went away
// proves nothing about what it leads to later (a pseudo-terminal's number handed on, say).
bool sameDevice(const DeviceIdentity& first, const DeviceIdentity& now);

// One open port handle. Each call is one operating-system request; false means it failed.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // Ready when a read will not block; Always where the platform cannot wait on the port
  // without reading it.
  virtual console::Waitable readable() = 0;
  virtual bool getProperties(CommProperties& properties) = 0;
  virtual bool setupQueues(std::uint32_t receiveSize, std::uint32_t transmitSize) = 0;
  virtual bool getTimeouts(CommTimeouts& timeouts) = 0;
  virtual bool setTimeouts(const CommTimeouts& timeouts) = 0;
  // Reads the port's settings; the backend keeps them, so that setState changes only what
  // LineSettings names.
  virtual bool getState() = 0;
  virtual bool setState(const LineSettings& settings) = 0;
  virtual bool raiseDtr() = 0;
  virtual bool modemStatus(std::uint32_t& status) = 0;
  virtual ReadOutcome read(char* buffer, std::uint32_t requested) = 0;
  virtual bool write(const char* data, std::uint32_t length, std::uint32_t& written) = 0;
  virtual bool waitingCount(std::uint32_t& count) = 0;
  // Lets the port go, put back as it was found.
  virtual void close() = 0;

  // Where the platform can pass an open port to another process (a POSIX descriptor, sent
  // along a meeting connection): the handle to pass, and what the process that takes it needs
  // to put the port back as it was found at its own end. -1 where nothing can be passed.
  virtual std::intptr_t passableHandle() { return -1; }
  virtual std::string foundState() { return {}; }
  // Lets the handle go and leaves the port as it is: another process of ours holds it now.
  virtual void leave() { close(); }
};

// Whether an error code of a failed read on this platform (errno, or a Win32 error) means the
// device has gone rather than a passing fault.
bool readErrorMeansDeviceGone(std::uint32_t error);

// Why a port would not open, as far as the platform can tell.
enum class OpenFailure : std::uint8_t {
  None,          // it opened
  NoDevice,      // nothing is under the name
  NoPermission,  // this user may not use it
  Held,          // another program holds it (the meeting place tells a Kestrelgate)
  Refused,       // the system refused it for another reason (the error code says which)
};

struct OpenOutcome {
  std::unique_ptr<SerialDevice> device;  // the open port, or nullptr
  OpenFailure failure = OpenFailure::None;
  std::uint32_t error = 0;  // the system's error code (errno, or a Win32 error)
};

// Opening ports, naming them, and the clock of the line waits.
class SerialPlatform {
 public:
  virtual ~SerialPlatform() = default;
  // The device path for the PortSpec's port number; 0 means the name gave no number
  // and the port opened is port 1.
  virtual std::string devicePath(std::uint32_t specPortNumber) = 0;
  // What is under the name now; nullopt while nothing is.
  virtual std::optional<DeviceIdentity> identify(const std::string& path) = 0;
  // The open port, or why it would not open.
  virtual OpenOutcome open(const std::string& path) = 0;
  // A millisecond clock; only differences count, compared as unsigned 32-bit numbers.
  virtual std::uint32_t milliseconds() = 0;
  // The port another process of ours passed on, with what it said of the port as found;
  // nullptr where ports cannot be passed, or the handle is no port.
  virtual std::unique_ptr<SerialDevice> adopt(std::intptr_t handle, const std::string& found) {
    (void)handle;
    (void)found;
    return nullptr;
  }
};

// The platform's real serial interface, defined by the backend file.
SerialPlatform& systemSerialPlatform();

// Whether a first argument that begins with "/" names a device file (POSIX) rather than a port.
bool acceptsDevicePaths();

}  // namespace kestrelgate::link
