#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "console/io_result.h"

namespace kestrelgate::link {

enum class ParityKind : std::uint32_t { None = 0, Even = 1, Odd = 2, Space = 3, Mark = 4 };
enum class StopBitsKind : std::uint32_t { One = 0, OneAndHalf = 1, Two = 2 };

// A parsed port settings text: the port name's number and the line settings, with defaults
// for everything the text did not give.
struct PortSpec {
  std::uint32_t portNumber = 0;
  std::uint32_t speed = 300;
  ParityKind parity = ParityKind::Even;
  std::uint32_t dataBits = 7;
  StopBitsKind stopBits = StopBitsKind::One;
  std::uint32_t ctsTimeout = 1000;
  std::uint32_t dsrTimeout = 1000;
  std::uint32_t cdTimeout = 0;
  std::uint32_t openTimeout = 0;
  bool suppressRts = false;
  bool addLf = false;
  bool checkParity = false;
  bool dtrEnable = false;
  bool discardOnError = false;
  bool ignoreAllErrors = false;
  std::uint32_t irq = 0;
  std::uint32_t txBufferSize = 0;
  std::uint32_t rxBufferSize = 0;

  friend bool operator==(const PortSpec&, const PortSpec&) = default;
};

// The settings every port is opened with: 600 bit/s, 8N1, no waits on the modem lines.
inline constexpr std::string_view kPortSettings = "600,N,8,1,CS0,DS0,CD0,BIN";

// Whether the text begins with a port name this link accepts, and the name's port number.
std::optional<std::uint32_t> testPortName(std::string_view text);

// Parses a whole port-spec text: port name, colon, settings list.
console::IoResult parsePortSpec(std::string_view text, PortSpec& spec);

}  // namespace kestrelgate::link
