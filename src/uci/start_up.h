#pragma once

namespace kestrelgate::uci {

// The program's own entry point: reads the command line, answers a usage request, opens the
// console and the serial port, and runs the UCI conversation. Every path ends the process
// with exit status 0.
[[noreturn]] void startUp(int argumentCount, const char* const* argumentVector);

// Writes the usage text.
void writeUsage();

}  // namespace kestrelgate::uci
