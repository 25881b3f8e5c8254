#pragma once

#include <optional>
#include <string>

namespace kestrelgate::link {

// The port a first command-line argument names: the port settings text the port is opened
// with and, where the argument is a device file, that file.
struct PortChoice {
  std::string specText;
  std::optional<std::string> devicePath;
};

// The argument as the program takes it (empty: COM1:). Tools that open the port the way the
// program does use it too.
PortChoice choosePort(const std::string& firstArgument);

}  // namespace kestrelgate::link
