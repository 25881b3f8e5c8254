#pragma once

#include <optional>
#include <string>

#include "link/serial_device.h"

namespace kestrelgate::link {

// Which device a port's name leads to, as Linux's sysfs below `sysRoot` tells it, without
// opening anything:
// - a device file is the hardware behind it: the resolved path of its device in sysfs, and for
//   a USB adapter its vendor, product and serial number where it has them;
// - a device with no hardware behind it (a pseudo-terminal, a virtual console), or that sysfs
//   does not know, cannot be told from the next one to get its name: it is not reopenable;
// - a name that is a symbolic link (/dev/serial/by-id/..., or a link of the user's own) is what
//   it leads to, plus the link itself, so that a link made again can be told from one that
//   stayed in place while its device went away.
// nullopt while nothing is under the name.
std::optional<DeviceIdentity> identifyDevice(const std::string& path, const std::string& sysRoot);

}  // namespace kestrelgate::link
