#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "console/channel_table.h"
#include "console/io_result.h"
#include "link/port_spec.h"
#include "link/serial_device.h"

namespace kestrelgate::link {

// The open link to the chess computer, one slot of the channel table.
class SerialChannel final : public console::Channel {
 public:
  SerialChannel(SerialPlatform& platform, std::unique_ptr<SerialDevice> device,
                std::uint32_t portNumber, const PortSpec& spec, std::string devicePath,
                DeviceIdentity identity);

  console::IoResult close() override;
  console::IoResult readBytes(char* buffer, std::uint32_t requested, std::uint32_t& got) override;
  console::IoResult writeBytes(const char* data, std::uint32_t length) override;
  console::IoResult bytesWaiting(std::uint32_t& count) override;

  // Wide variants: the count is in 16-bit units.
  console::IoResult readWide(char* buffer, std::uint32_t units, std::uint32_t& gotBytes);
  console::IoResult writeWide(const char* data, std::uint32_t units);

  // One read request of up to `count` bytes; empty when nothing arrived or the read failed.
  std::string readChars(std::uint32_t count);

  // 1 when no byte is waiting, 0 when some are, -1 when the count cannot be read.
  int endTest();

  // Ready when a read will not block; never while the device is away.
  console::Waitable readable();
  // While the device is away, the milliseconds until the next try at opening it again (0: a
  // read now makes it); console::kNoTimeout while the device is there.
  std::uint32_t untilReopen();

  std::uint32_t portNumber() const { return portNumber_; }
  const PortSpec& spec() const { return spec_; }
  // False from the read that showed the device gone until it has been opened again.
  bool connected() const { return device_ != nullptr; }

  // One try, at once, at opening and configuring the device again by its name; only the device
  // the channel was first opened on is taken. A read while the device is away makes one too.
  bool reopenNow();

  // What another process of ours needs to take the open port over, where the platform can pass
  // it on (SerialDevice::passableHandle, foundState); -1 and empty otherwise, or while the
  // device is away.
  std::intptr_t passableHandle() { return device_ ? device_->passableHandle() : -1; }
  std::string foundState() { return device_ ? device_->foundState() : std::string(); }
  // Lets the port go as it is, for the process that has taken it over.
  void leave();

 private:
  SerialPlatform& platform_;
  std::unique_ptr<SerialDevice> device_;
  std::uint32_t portNumber_;
  PortSpec spec_;
  std::string devicePath_;
  DeviceIdentity identity_;
  std::uint32_t lastTry_ = 0;  // when the device went, or was last tried again
};

// How long a channel whose device has gone lets pass before each try at opening it again.
inline constexpr std::uint32_t kReopenInterval = 500;

// Waits for carrier, then DSR, each only when its limit is non-zero. Spins on the modem status
// without pausing: with the fixed settings it never runs.
bool waitForLines(SerialDevice& device, SerialPlatform& platform, std::uint32_t carrierLimit,
                  std::uint32_t dsrLimit);

// What an open came to, for a caller that has to tell why a port would not open (the program
// only says "Cannot initialise comport"; the monitor explains).
struct OpenReport {
  console::IoResult result = console::IoResult::Ok;
  OpenFailure failure = OpenFailure::None;  // for OpenFailed: why the device would not open
  std::uint32_t error = 0;                  // the system's error code with it
};

// Opens and configures a port into a free slot of the table. With a devicePath the port name
// only selects the settings, and the given device file is opened instead. The report, when
// asked for, says what the result came from.
console::IoResult openSerial(console::ChannelTable& table, int channel, std::string_view specText,
                             SerialPlatform& platform, const std::string* devicePath = nullptr,
                             OpenReport* report = nullptr);

// Puts a channel for a port this process did not open itself into a free slot: one another
// process of ours passed on (`device`), or none yet (nullptr), to be opened as after an unplug,
// only where `identity` says it is the same device. The settings text must parse.
console::IoResult adoptSerial(console::ChannelTable& table, int channel, std::string_view specText,
                              SerialPlatform& platform, const std::string& devicePath,
                              const DeviceIdentity& identity, std::unique_ptr<SerialDevice> device);

// One read request of up to `count` bytes on a channel of the table; empty when nothing
// arrived, the read failed or the slot holds no serial channel.
std::string readChars(const console::ChannelTable& table, int channel, std::uint32_t count);

}  // namespace kestrelgate::link
