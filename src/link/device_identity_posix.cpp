#include "link/device_identity_posix.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kestrelgate::link {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute file, or empty.
std::string attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  return value;
}

// The hardware behind a character device: its device's resolved sysfs path, and for a USB
// adapter the USB device's vendor, product and serial number (the first ancestor that has an
// idVendor is the USB device; the serial is missing on many cheap adapters).
std::optional<std::string> hardwareOf(const fs::path& sysRoot, unsigned major, unsigned minor) {
  std::error_code error;
  const fs::path link =
      sysRoot / "dev" / "char" / (std::to_string(major) + ":" + std::to_string(minor)) / "device";
  const fs::path device = fs::canonical(link, error);
  if (error) return std::nullopt;
  std::string description = device.string();
  const fs::path top = fs::canonical(sysRoot, error);
  for (fs::path at = device; !error && at.has_relative_path() && at != top; at = at.parent_path()) {
    if (fs::exists(at / "idVendor", error)) {
      description += " usb " + attribute(at / "idVendor") + ":" + attribute(at / "idProduct") +
                     " serial " + attribute(at / "serial");
      break;
    }
  }
  return description;
}

}  // namespace

std::optional<DeviceIdentity> identifyDevice(const std::string& path, const std::string& sysRoot) {
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0) return std::nullopt;
  DeviceIdentity identity;
  if (S_ISLNK(entry.st_mode)) {
    // The link itself, as the file system knows it: a link removed and made again gets another
    // inode or at least another change time, while one left in place keeps both.
    identity.link = std::to_string(entry.st_dev) + ":" + std::to_string(entry.st_ino) + " made " +
                    std::to_string(entry.st_ctim.tv_sec) + "." +
                    std::to_string(entry.st_ctim.tv_nsec);
    // A link that leads nowhere: nothing is under the name yet.
    if (stat(path.c_str(), &entry) != 0) return std::nullopt;
  }
  if (!S_ISCHR(entry.st_mode)) {
    identity.description = "no device";
    return identity;
  }
  const std::optional<std::string> hardware =
      hardwareOf(sysRoot, major(entry.st_rdev), minor(entry.st_rdev));
  identity.reopenable = hardware.has_value();
  identity.description = hardware.value_or("no hardware");
  return identity;
}

}  // namespace kestrelgate::link
