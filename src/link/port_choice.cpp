#include "link/port_choice.h"

#include "console/text.h"
#include "link/port_spec.h"
#include "link/serial_device.h"

namespace kestrelgate::link {

PortChoice choosePort(const std::string& firstArgument) {
  PortChoice choice;
  std::string portName = "COM1:";
  if (!firstArgument.empty()) portName = console::toUpperText(firstArgument);
  // USB adapters and by-id names are device files, not COM ports: a name given as a path is
  // opened as it stands (by-path names hold colons, and case matters there).
  if (acceptsDevicePaths() && !firstArgument.empty() && firstArgument[0] == '/') {
    portName = "COM1:";
    choice.devicePath = firstArgument;
  }
  choice.specText = portName + std::string(kPortSettings);
  return choice;
}

}  // namespace kestrelgate::link
