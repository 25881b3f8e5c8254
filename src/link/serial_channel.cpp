// The serial channel's own logic: which device to open, how to size its queues, which time-outs
// and line settings to give it, the modem-line waits and the result codes. Every operating-system
// request goes through SerialDevice, one call per request, so this file is the same on every
// platform.
#include "link/serial_channel.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace kestrelgate::link {

using console::IoResult;

namespace {

// Used when neither the port-spec text nor the driver names a queue size.
constexpr std::uint32_t kFallbackQueueSize = 16384;

std::uint32_t chooseQueueSize(std::uint32_t requested, std::uint32_t current,
                              std::uint32_t maximum) {
  if (requested != 0) return requested;
  if (current != 0) return current;
  if (maximum != 0) return maximum;
  return kFallbackQueueSize;
}

// The line settings a PortSpec asks for.
LineSettings lineSettingsFor(const PortSpec& spec) {
  LineSettings settings;
  settings.speed = spec.speed;
  settings.dataBits = static_cast<std::uint8_t>(spec.dataBits & 0xFFu);
  settings.parity = spec.parity;
  settings.stopBits = spec.stopBits;
  settings.checkParity = spec.checkParity;
  settings.binary = !spec.addLf;
  settings.ctsOutputFlow = spec.ctsTimeout != 0;
  settings.dsrSensitivity = spec.dsrTimeout != 0;
  settings.dtr = spec.dtrEnable ? DtrMode::On : DtrMode::Off;
  settings.rts = spec.suppressRts ? RtsMode::Off : RtsMode::Handshake;
  return settings;
}

// Steps after the device is open; the first failure ends them with its result.
IoResult configure(SerialDevice& device, const PortSpec& spec) {
  CommProperties properties;
  if (!device.getProperties(properties)) return IoResult::QueryFailed;
  const std::uint32_t transmitSize =
      chooseQueueSize(spec.txBufferSize, properties.currentTxQueue, properties.maxTxQueue);
  const std::uint32_t receiveSize =
      chooseQueueSize(spec.rxBufferSize, properties.currentRxQueue, properties.maxRxQueue);
  if (!device.setupQueues(receiveSize, transmitSize)) return IoResult::IllegalRequest;

  CommTimeouts timeouts;
  if (!device.getTimeouts(timeouts)) return IoResult::QueryFailed;
  if (spec.ctsTimeout != 0) {
    // Interval time-out only: a read waits for its first byte, then returns once the line has
    // been quiet for ctsTimeout ms. The write time-outs are the port's own.
    timeouts.readIntervalTimeout = spec.ctsTimeout;
    timeouts.readTotalTimeoutMultiplier = 0;
    timeouts.readTotalTimeoutConstant = 0;
  }
  // Written back even when unchanged, so the driver confirms the values it holds.
  if (!device.setTimeouts(timeouts)) return IoResult::IllegalRequest;

  if (!device.getState()) return IoResult::QueryFailed;
  if (!device.setState(lineSettingsFor(spec))) return IoResult::IllegalRequest;

  // DTR goes up at the end of every successful configuration, even when the DTR mode just set
  // lowered it: the chess computer's interface wants a live DTR. A port without the line still
  // works, so the result does not matter.
  (void)device.raiseDtr();
  return IoResult::Ok;
}

bool waitForModemLine(SerialDevice& device, SerialPlatform& platform, std::uint32_t bit,
                      std::uint32_t limit) {
  const std::uint32_t start = platform.milliseconds();
  std::uint32_t status = 0;
  if (!device.modemStatus(status)) return false;
  for (;;) {
    // Unsigned difference: correct across one wrap of the 32-bit clock. Equal to the limit
    // still waits.
    const std::uint32_t elapsed = platform.milliseconds() - start;
    if (elapsed > limit) return (status & bit) != 0;
    if ((status & bit) != 0) return true;
    if (!device.modemStatus(status)) return false;
  }
}

}  // namespace

bool sameDevice(const DeviceIdentity& first, const DeviceIdentity& now) {
  if (first.reopenable && now.reopenable && first.description == now.description) return true;
  return !first.link.empty() && !now.link.empty() && first.link != now.link;
}

bool waitForLines(SerialDevice& device, SerialPlatform& platform, std::uint32_t carrierLimit,
                  std::uint32_t dsrLimit) {
  if (carrierLimit != 0 && !waitForModemLine(device, platform, kCarrierOn, carrierLimit)) {
    return false;
  }
  if (dsrLimit != 0 && !waitForModemLine(device, platform, kDsrOn, dsrLimit)) return false;
  return true;
}

SerialChannel::SerialChannel(SerialPlatform& platform, std::unique_ptr<SerialDevice> device,
                             std::uint32_t portNumber, const PortSpec& spec, std::string devicePath,
                             DeviceIdentity identity)
    : platform_(platform),
      device_(std::move(device)),
      portNumber_(portNumber),
      spec_(spec),
      devicePath_(std::move(devicePath)),
      identity_(std::move(identity)) {}

IoResult SerialChannel::close() {
  // Nothing about the lines is changed here; the device is simply let go.
  if (device_) device_->close();
  device_.reset();
  return IoResult::Ok;
}

void SerialChannel::leave() {
  if (device_) device_->leave();
  device_.reset();
}

bool SerialChannel::reopenNow() {
  lastTry_ = platform_.milliseconds();
  // Another device under the same name (the next USB adapter plugged in, a pseudo-terminal
  // number handed to another program) is left alone: opening it could reset a board through
  // DTR, and its bytes are not the chess computer's.
  const std::optional<DeviceIdentity> now = platform_.identify(devicePath_);
  if (!now || !sameDevice(identity_, *now)) return false;
  std::unique_ptr<SerialDevice> device = platform_.open(devicePath_).device;
  if (!device) return false;
  // The same steps as the first open, so the chess computer finds the line as it was.
  if (configure(*device, spec_) != IoResult::Ok ||
      !waitForLines(*device, platform_, spec_.cdTimeout, spec_.dsrTimeout)) {
    device->close();
    return false;
  }
  device_ = std::move(device);
  return true;
}

IoResult SerialChannel::readBytes(char* buffer, std::uint32_t requested, std::uint32_t& got) {
  got = 0;
  if (!device_ && !reopenNow()) return IoResult::IoFailed;
  if (!waitForLines(*device_, platform_, spec_.cdTimeout, spec_.dsrTimeout)) {
    return IoResult::IoFailed;
  }
  const ReadOutcome outcome = device_->read(buffer, requested);
  switch (outcome.status) {
    case ReadStatus::Bytes:
      got = outcome.count;
      return IoResult::Ok;
    case ReadStatus::Nothing:
      return IoResult::Ok;
    case ReadStatus::Failed:
      return IoResult::IoFailed;
    case ReadStatus::Gone:
      break;
  }
  // A handle whose device has gone never recovers, even when the device comes back under the
  // same name: let it go, and open the device afresh on a later read. A device that has just
  // gone (a cable being pulled, an adapter re-enumerating) is not back within the same moment.
  device_->close();
  device_.reset();
  lastTry_ = platform_.milliseconds();
  return IoResult::IoFailed;
}

IoResult SerialChannel::writeBytes(const char* data, std::uint32_t length) {
  if (!device_) return IoResult::IoFailed;
  if (!waitForLines(*device_, platform_, spec_.cdTimeout, spec_.dsrTimeout)) {
    return IoResult::IoFailed;
  }
  std::uint32_t written = 0;
  if (!device_->write(data, length, written) || written != length) return IoResult::IoFailed;
  return IoResult::Ok;
}

IoResult SerialChannel::bytesWaiting(std::uint32_t& count) {
  count = 0;
  if (!device_) return IoResult::IllegalRequest;
  std::uint32_t waiting = 0;
  if (!device_->waitingCount(waiting)) return IoResult::IllegalRequest;
  count = waiting;
  return IoResult::Ok;
}

// A unit count whose byte count does not fit in 32 bits cannot describe a real buffer; it is
// refused rather than wrapped, which would move fewer bytes and still report success.
constexpr std::uint32_t kMostWideUnits = std::numeric_limits<std::uint32_t>::max() / 2;

IoResult SerialChannel::readWide(char* buffer, std::uint32_t units, std::uint32_t& gotBytes) {
  gotBytes = 0;
  if (units > kMostWideUnits) return IoResult::IllegalRequest;
  return readBytes(buffer, units * 2, gotBytes);
}

IoResult SerialChannel::writeWide(const char* data, std::uint32_t units) {
  if (units > kMostWideUnits) return IoResult::IllegalRequest;
  return writeBytes(data, units * 2);
}

console::Waitable SerialChannel::readable() {
  if (!device_) return {};
  return device_->readable();
}

std::uint32_t SerialChannel::untilReopen() {
  if (device_) return console::kNoTimeout;
  const std::uint32_t since = platform_.milliseconds() - lastTry_;
  return since >= kReopenInterval ? 0 : kReopenInterval - since;
}

int SerialChannel::endTest() {
  std::uint32_t count = 0;
  if (bytesWaiting(count) != IoResult::Ok) return -1;
  return count == 0 ? 1 : 0;
}

namespace {

IoResult openAndConfigure(console::ChannelTable& table, int channel, std::string_view specText,
                          SerialPlatform& platform, const std::string* devicePath,
                          OpenReport& report) {
  if (table.checkFree(channel) != IoResult::Ok) return IoResult::IllegalRequest;

  PortSpec spec;
  if (parsePortSpec(specText, spec) != IoResult::Ok) return IoResult::IllegalRequest;
  // No interrupt can be chosen for a port; asking for one fails before the port is touched.
  if (spec.irq != 0) return IoResult::IllegalRequest;

  const std::uint32_t portNumber = spec.portNumber == 0 ? 1 : spec.portNumber;
  const std::string path =
      devicePath != nullptr ? *devicePath : platform.devicePath(spec.portNumber);
  // What the name leads to is taken before the open, as it is before every reopen.
  DeviceIdentity identity = platform.identify(path).value_or(DeviceIdentity{});
  OpenOutcome opened = platform.open(path);
  std::unique_ptr<SerialDevice> device = std::move(opened.device);
  if (!device) {
    report.failure = opened.failure;
    report.error = opened.error;
    return IoResult::OpenFailed;
  }

  IoResult result = configure(*device, spec);
  // The line wait runs whatever the configuration gave, and its failure outranks that result.
  if (!waitForLines(*device, platform, spec.cdTimeout, spec.dsrTimeout)) {
    result = IoResult::IllegalRequest;
  }
  if (result != IoResult::Ok) {
    device->close();
    return result;
  }
  return table.install(
      channel, std::make_unique<SerialChannel>(platform, std::move(device), portNumber, spec, path,
                                               std::move(identity)));
}

}  // namespace

IoResult openSerial(console::ChannelTable& table, int channel, std::string_view specText,
                    SerialPlatform& platform, const std::string* devicePath, OpenReport* report) {
  OpenReport made;
  made.result = openAndConfigure(table, channel, specText, platform, devicePath, made);
  if (report != nullptr) *report = made;
  return made.result;
}

IoResult adoptSerial(console::ChannelTable& table, int channel, std::string_view specText,
                     SerialPlatform& platform, const std::string& devicePath,
                     const DeviceIdentity& identity, std::unique_ptr<SerialDevice> device) {
  PortSpec spec;
  if (table.checkFree(channel) != IoResult::Ok || parsePortSpec(specText, spec) != IoResult::Ok) {
    if (device) device->close();
    return IoResult::IllegalRequest;
  }
  const std::uint32_t portNumber = spec.portNumber == 0 ? 1 : spec.portNumber;
  return table.install(
      channel, std::make_unique<SerialChannel>(platform, std::move(device), portNumber, spec,
                                               devicePath, identity));
}

std::string SerialChannel::readChars(std::uint32_t count) {
  std::string bytes(count, '\0');
  std::uint32_t got = 0;
  if (readBytes(bytes.data(), count, got) != IoResult::Ok) return {};
  bytes.resize(got);
  return bytes;
}

std::string readChars(const console::ChannelTable& table, int channel, std::uint32_t count) {
  auto* serial = table.findAs<SerialChannel>(channel);
  if (serial == nullptr) return {};
  return serial->readChars(count);
}

}  // namespace kestrelgate::link
