#pragma once

#include <string>

namespace kestrelgate::link {

// Whether a Kestrelgate has claimed the meeting point of the device at `devicePath`: then the
// program that holds the port is that Kestrelgate. Looked up without connecting to it.
bool meetingPointTaken(const std::string& devicePath);

}  // namespace kestrelgate::link
