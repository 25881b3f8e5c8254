#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link/serial_device.h"

namespace kestrelgate::fakes {

// What the fake port does and what it was asked. Shared by the platform and every device it
// opened, so a test can still read the record after the channel has let its device go.
struct FakePort {
  // Every call in order: the operation's name, then its arguments separated by blanks.
  std::vector<std::string> calls;

  // Operations named here fail ("open" makes open return nullptr).
  std::set<std::string> failing;

  // What the getters hand out.
  link::CommProperties properties;
  link::CommTimeouts timeouts{1, 2, 3, 4, 5};
  std::uint32_t modemLines = 0;
  std::uint32_t waiting = 0;
  std::deque<std::string> incoming;  // one entry per successful read

  // What the setters received.
  std::vector<link::CommTimeouts> timeoutsSet;
  std::vector<link::LineSettings> statesSet;
  std::string written;

  // Every read reports that the device has gone, with this error code.
  bool readShowsGone = false;
  std::uint32_t readError = 5;
  // What the name leads to now; nullopt while nothing is there.
  std::optional<link::DeviceIdentity> identity = link::DeviceIdentity{true, "fake device", ""};
  // This many opens fail before the next one succeeds.
  int opensToRefuse = 0;
  // Why a failing open says it failed.
  link::OpenFailure openFailure = link::OpenFailure::NoDevice;
  std::uint32_t openError = 2;

  // The clock advances by this much on every reading of it.
  std::uint32_t now = 0;
  std::uint32_t tick = 1;

  bool fails(const std::string& name) const { return failing.count(name) != 0; }

  std::size_t count(const std::string& name) const {
    std::size_t n = 0;
    for (const std::string& call : calls) {
      if (call == name || call.rfind(name + " ", 0) == 0) ++n;
    }
    return n;
  }

  // Position of the first call with this name, or -1.
  int indexOf(const std::string& name) const {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i] == name || calls[i].rfind(name + " ", 0) == 0) return static_cast<int>(i);
    }
    return -1;
  }
};

class FakeDevice final : public link::SerialDevice {
 public:
  explicit FakeDevice(FakePort& port) : port_(port) {}

  // Not a request to the port: not recorded among the calls.
  console::Waitable readable() override { return {-1, console::Waitable::Kind::Always}; }

  bool getProperties(link::CommProperties& properties) override {
    port_.calls.push_back("getProperties");
    if (port_.fails("getProperties")) return false;
    properties = port_.properties;
    return true;
  }
  bool setupQueues(std::uint32_t receiveSize, std::uint32_t transmitSize) override {
    port_.calls.push_back("setupQueues " + std::to_string(receiveSize) + " " +
                          std::to_string(transmitSize));
    return !port_.fails("setupQueues");
  }
  bool getTimeouts(link::CommTimeouts& timeouts) override {
    port_.calls.push_back("getTimeouts");
    if (port_.fails("getTimeouts")) return false;
    timeouts = port_.timeouts;
    return true;
  }
  bool setTimeouts(const link::CommTimeouts& timeouts) override {
    port_.calls.push_back("setTimeouts");
    port_.timeoutsSet.push_back(timeouts);
    return !port_.fails("setTimeouts");
  }
  bool getState() override {
    port_.calls.push_back("getState");
    return !port_.fails("getState");
  }
  bool setState(const link::LineSettings& settings) override {
    port_.calls.push_back("setState");
    port_.statesSet.push_back(settings);
    return !port_.fails("setState");
  }
  bool raiseDtr() override {
    port_.calls.push_back("raiseDtr");
    return !port_.fails("raiseDtr");
  }
  bool modemStatus(std::uint32_t& status) override {
    port_.calls.push_back("modemStatus");
    if (port_.fails("modemStatus")) return false;
    status = port_.modemLines;
    return true;
  }
  link::ReadOutcome read(char* buffer, std::uint32_t requested) override {
    port_.calls.push_back("read " + std::to_string(requested));
    if (port_.readShowsGone) return {link::ReadStatus::Gone, 0, port_.readError};
    if (port_.fails("read")) return {link::ReadStatus::Failed, 0, port_.readError};
    if (port_.incoming.empty()) return {link::ReadStatus::Nothing, 0, 0};
    const std::string bytes = port_.incoming.front().substr(0, requested);
    port_.incoming.pop_front();
    bytes.copy(buffer, bytes.size());
    if (bytes.empty()) return {link::ReadStatus::Nothing, 0, 0};
    return {link::ReadStatus::Bytes, static_cast<std::uint32_t>(bytes.size()), 0};
  }
  bool write(const char* data, std::uint32_t length, std::uint32_t& written) override {
    port_.calls.push_back("write " + std::to_string(length));
    written = 0;
    if (port_.fails("write")) return false;
    // "shortWrite" takes all but the last byte, as a driver whose time-out expired would.
    written = port_.fails("shortWrite") && length > 0 ? length - 1 : length;
    port_.written.append(data, written);
    return true;
  }
  bool waitingCount(std::uint32_t& count) override {
    port_.calls.push_back("waitingCount");
    if (port_.fails("waitingCount")) return false;
    count = port_.waiting;
    return true;
  }
  void close() override { port_.calls.push_back("close"); }

 private:
  FakePort& port_;
};

class FakePlatform final : public link::SerialPlatform {
 public:
  FakePort port;

  std::string devicePath(std::uint32_t specPortNumber) override {
    port.calls.push_back("devicePath " + std::to_string(specPortNumber));
    return "/fake/port" + std::to_string(specPortNumber);
  }
  // A look at the name, not a request to the port: not recorded among the calls.
  std::optional<link::DeviceIdentity> identify(const std::string&) override {
    return port.identity;
  }
  link::OpenOutcome open(const std::string& path) override {
    port.calls.push_back("open " + path);
    if (port.fails("open")) return {nullptr, port.openFailure, port.openError};
    if (port.opensToRefuse > 0) {
      --port.opensToRefuse;
      return {nullptr, port.openFailure, port.openError};
    }
    return {std::make_unique<FakeDevice>(port), link::OpenFailure::None, 0};
  }
  std::uint32_t milliseconds() override {
    const std::uint32_t reading = port.now;
    port.now += port.tick;
    return reading;
  }
};

}  // namespace kestrelgate::fakes
