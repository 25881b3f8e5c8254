#pragma once

#include "console/console_platform.h"
#include "link/meeting_point.h"
#include "link/serial_device.h"

namespace kestrelgate::uci {

// The program's own entry point: reads the command line, answers a usage request, opens the
// console and the serial port, and runs the UCI conversation. It owns everything the running
// program has (the arguments, the console output, the channel table with its two channels)
// and hands each part the objects it works with. Every path ends the process with exit
// status 0.
[[noreturn]] void startUp(int argumentCount, const char* const* argumentVector,
                          console::ConsolePlatform& consolePlatform,
                          link::SerialPlatform& serialPlatform, link::MeetingPlace& meetingPlace);

}  // namespace kestrelgate::uci
