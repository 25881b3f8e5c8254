// Why a COM port will not open as kestrelgate's port, on Windows: the system's reason
// (GetLastError) and what usually helps.
#include <windows.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "monitor/port_diagnosis.h"

namespace kestrelgate::monitor {
namespace {

std::string reason(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof text, nullptr);
  std::string out(text, length);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
    out.pop_back();
  }
  return out + " (error " + std::to_string(error) + ")";
}

// The COM ports Windows knows now.
std::vector<std::string> comPorts() {
  std::vector<std::string> found;
  for (int n = 1; n <= 255; ++n) {
    const std::string name = "COM" + std::to_string(n);
    char target[512];
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
      found.push_back(name + ": (" + target + ")");
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> explainOpenFailure(const std::string& path) {
  std::vector<std::string> lines;
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    lines.push_back(path +
                    " opens now: perhaps it was busy a moment ago, or it refused the"
                    " settings (600 bit/s, 8 data bits). Try again.");
    return lines;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    lines.push_back("No such port: " + path + " (" + reason(error) + ").");
    const std::vector<std::string> ports = comPorts();
    if (ports.empty()) {
      lines.push_back(
          "Windows knows no COM port now: is the USB serial adapter plugged in and its"
          " driver installed?");
    } else {
      lines.push_back(
          "COM ports there are (Device Manager, \"Ports (COM & LPT)\", tells which is"
          " the adapter):");
      for (const std::string& port : ports) lines.push_back("  " + port);
    }
  } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    lines.push_back("Another program holds " + path + " (" + reason(error) + ").");
    lines.push_back(
        "A COM port belongs to one program at a time. Often it is a Kestrelgate left"
        " waiting for a move by a GUI that was closed: end it in the Task Manager.");
  } else {
    lines.push_back("Windows refuses to open " + path + " (" + reason(error) + ").");
  }
  return lines;
}

std::tm localTime(std::time_t seconds) {
  std::tm local{};
  localtime_s(&local, &seconds);
  return local;
}

}  // namespace kestrelgate::monitor
