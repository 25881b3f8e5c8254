#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "link/serial_channel.h"

namespace kestrelgate::monitor {

// Why the device at `path` would not open as kestrelgate's port, from what the open itself
// reported, in plain words: the system's own reason first, then what usually helps (the
// devices there are, the group that may use the port, how to find the program that holds it).
// One text a line.
std::vector<std::string> explainOpenFailure(const std::string& path,
                                            const link::OpenReport& report);

// The calendar time in the local time zone (the runtimes name the thread-safe call apart).
std::tm localTime(std::time_t seconds);

}  // namespace kestrelgate::monitor
