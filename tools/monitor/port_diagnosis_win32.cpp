// Why a COM port will not open as kestrelgate's port, on Windows: the system's reason
// (GetLastError) and what usually helps.
#include <windows.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "link/meeting_point.h"
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

std::vector<std::string> explainOpenFailure(const std::string& path,
                                            const link::OpenReport& report) {
  std::vector<std::string> lines;
  const std::string why = reason(report.error);
  switch (report.failure) {
    case link::OpenFailure::NoDevice: {
      lines.push_back("No such port: " + path + " (" + why + ").");
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
      break;
    }
    case link::OpenFailure::Held:
      if (link::systemMeetingPlace().heldByKestrelgate(path)) {
        lines.push_back("Another program holds " + path + " (" + why +
                        "): a Kestrelgate, which reads every line itself.");
        lines.push_back(
            "The monitor cannot share the line with it: end that Kestrelgate (or its GUI)"
            " first.");
        break;
      }
      [[fallthrough]];
    case link::OpenFailure::NoPermission:
      lines.push_back("Another program holds " + path + " (" + why + ").");
      lines.push_back(
          "A COM port belongs to one program at a time: find it in the Task Manager and end"
          " it.");
      break;
    case link::OpenFailure::Refused:
    case link::OpenFailure::None:
      lines.push_back("Windows refuses to open " + path + " (" + why + ").");
      break;
  }
  return lines;
}

std::tm localTime(std::time_t seconds) {
  std::tm local{};
  localtime_s(&local, &seconds);
  return local;
}

}  // namespace kestrelgate::monitor
