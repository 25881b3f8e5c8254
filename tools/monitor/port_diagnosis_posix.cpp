// Why a device file will not open as kestrelgate's port, on Linux: the system's reason (errno)
// and what usually helps.
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/meeting_point.h"
#include "monitor/port_diagnosis.h"

namespace kestrelgate::monitor {
namespace {

namespace fs = std::filesystem;

std::string reason(int error) {
  return std::strerror(error);
}

// Serial devices a user may have meant: stable names first, then the kernel's own.
std::vector<std::string> serialDevices() {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
    found.push_back(entry.path().string() + " -> " + fs::canonical(entry.path(), error).string());
  }
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

std::string processName(const std::string& pid) {
  std::string name;
  std::ifstream(fs::path("/proc") / pid / "comm") >> name;
  return name.empty() ? "a program" : name;
}

// The programs that hold the device: the one with a lock on it, as /proc/locks names it
// ("1: FLOCK  ADVISORY  WRITE 544 00:1a:4 0 EOF", the device as major:minor:inode of the file
// system the node lives on); without one, those whose open files include it, as far as this
// user may see them.
std::vector<std::string> holders(const std::string& path) {
  std::vector<std::string> found;
  struct stat node {};
  if (stat(path.c_str(), &node) != 0) return found;
  char inode[64];
  std::snprintf(inode, sizeof inode, "%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
                static_cast<unsigned long long>(node.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind >> mode >> access >> pid >> where;
    if (kind == "FLOCK" && where == inode)
      found.push_back(processName(pid) + " (process " + pid + ")");
  }
  if (!found.empty()) return found;
  std::error_code error;
  const fs::path device = fs::canonical(path, error);
  if (error) return found;
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", unreadable)) {
      std::error_code gone;
      if (fs::read_symlink(fd.path(), gone) == device) {
        found.push_back(processName(pid) + " (process " + pid + ")");
        break;
      }
    }
  }
  return found;
}

void addHolderHelp(const std::string& path, std::vector<std::string>& lines) {
  const std::vector<std::string> seen = holders(path);
  for (const std::string& holder : seen) lines.push_back("held by " + holder);
  lines.push_back("Find the program with: fuser -v " + path + "   (or: lsof " + path + ")");
}

}  // namespace

std::vector<std::string> explainOpenFailure(const std::string& path,
                                            const link::OpenReport& report) {
  std::vector<std::string> lines;
  const std::string why = reason(static_cast<int>(report.error));
  switch (report.failure) {
    case link::OpenFailure::NoDevice: {
      lines.push_back("No such device: " + path + " (" + why + ").");
      const std::vector<std::string> devices = serialDevices();
      if (devices.empty()) {
        lines.push_back(
            "No USB serial adapter is plugged in here (nothing in /dev/serial/by-id,"
            " no /dev/ttyUSB* or /dev/ttyACM*).");
      } else {
        lines.push_back("Serial devices there are:");
        for (const std::string& device : devices) lines.push_back("  " + device);
        lines.push_back("Give the /dev/serial/by-id/ name: it stays the same in every USB socket.");
      }
      break;
    }
    case link::OpenFailure::NoPermission: {
      lines.push_back("No permission to open " + path + " (" + why + ").");
      struct stat entry {};
      if (stat(path.c_str(), &entry) != 0) break;
      const group* owner = getgrgid(entry.st_gid);
      const std::string groupName =
          owner != nullptr ? owner->gr_name : std::to_string(entry.st_gid);
      const bool groupMayUse = (entry.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
      if (entry.st_gid == 0 || !groupMayUse) {
        lines.push_back("Its group (" + groupName +
                        ") may not use it either: ask the system's"
                        " administrator to give serial ports to the dialout group.");
      } else {
        lines.push_back("It belongs to the group " + groupName +
                        "; a user may use the port once"
                        " in that group:");
        lines.push_back("  sudo usermod -aG " + groupName + " $USER    then log out and in again");
      }
      break;
    }
    case link::OpenFailure::Held:
      if (!link::systemMeetingPlace().heldByKestrelgate(path)) {
        lines.push_back("Another program holds " + path + " (" + why + ").");
        addHolderHelp(path, lines);
        break;
      }
      lines.push_back("Another program holds " + path + " (" + why +
                      "): a Kestrelgate, which reads every line itself.");
      addHolderHelp(path, lines);
      lines.push_back(
          "The monitor cannot share the line with it: end that Kestrelgate (or its GUI)"
          " first.");
      break;
    case link::OpenFailure::Refused:
    case link::OpenFailure::None:
      lines.push_back("The system refuses to open " + path + " (" + why + ").");
      break;
  }
  return lines;
}

std::tm localTime(std::time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

}  // namespace kestrelgate::monitor
