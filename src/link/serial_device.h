#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

enum class DtrControl : std::uint8_t { Disable = 0, Enable = 1, Handshake = 2 };
enum class RtsControl : std::uint8_t { Disable = 0, Enable = 1, Handshake = 2, Toggle = 3 };

// The line-control fields the channel sets; a backend keeps every other field of the
// port's state as it read it.
struct LineSettings {
  std::uint32_t baudRate = 0;
  bool binary = true;
  bool parityCheck = false;
  bool outxCtsFlow = false;
  bool outxDsrFlow = false;
  DtrControl dtrControl = DtrControl::Disable;
  bool dsrSensitivity = false;
  bool outX = false;
  bool inX = false;
  bool nullStrip = false;
  RtsControl rtsControl = RtsControl::Disable;
  bool abortOnError = false;
  std::uint8_t byteSize = 8;
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kMarkParity = 3;
inline constexpr std::uint8_t kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;

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
// the first open and again before every reopen: a device found under the name later is opened
// only when it is reopenable and the descriptions are equal.
struct DeviceIdentity {
  bool reopenable = false;
  std::string description;

  friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// One open port handle. Each call is one operating-system request; false means it failed.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  virtual bool getProperties(CommProperties& properties) = 0;
  virtual bool setupQueues(std::uint32_t receiveSize, std::uint32_t transmitSize) = 0;
  virtual bool getTimeouts(CommTimeouts& timeouts) = 0;
  virtual bool setTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool getState(LineSettings& settings) = 0;
  virtual bool setState(const LineSettings& settings) = 0;
  virtual bool raiseDtr() = 0;
  virtual bool modemStatus(std::uint32_t& status) = 0;
  virtual ReadOutcome read(char* buffer, std::uint32_t requested) = 0;
  virtual bool write(const char* data, std::uint32_t length, std::uint32_t& written) = 0;
  virtual bool waitingCount(std::uint32_t& count) = 0;
  virtual void close() = 0;
};

// Whether an error code of a failed read on this platform (errno, or a Win32 error) means the
// device has gone rather than a passing fault.
bool readErrorMeansDeviceGone(std::uint32_t error);

// Opening ports, naming them, and the clock of the line waits.
class SerialPlatform {
 public:
  virtual ~SerialPlatform() = default;
  // The device path for the PortSpec's port number; 0 means the name gave no number
  // and the port opened is port 1.
  virtual std::string devicePath(std::uint32_t specPortNumber) = 0;
  // What is under the name now; nullopt while nothing is.
  virtual std::optional<DeviceIdentity> identify(const std::string& path) = 0;
  // nullptr when the device cannot be opened, or another program holds it.
  virtual std::unique_ptr<SerialDevice> open(const std::string& path) = 0;
  // A millisecond clock; only differences count, compared as unsigned 32-bit numbers.
  virtual std::uint32_t milliseconds() = 0;
  // Waits, using no CPU, before the next try at opening a device that has gone.
  virtual void sleep(std::uint32_t milliseconds) = 0;
};

// The platform's real serial interface, defined by the backend file.
SerialPlatform& systemSerialPlatform();

// Whether a first argument that begins with "/" names a device file (POSIX) rather than a port.
bool acceptsDevicePaths();

}  // namespace kestrelgate::link
