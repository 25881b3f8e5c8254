#pragma once

#include <windows.h>

#include "link/serial_device.h"

namespace kestrelgate::link {

// The line settings rendered into a DCB for SetCommState, starting from the port's `current`
// one: the XON/XOFF limits and characters, the error, end-of-file and event characters,
// fTXContinueOnXoff and fErrorChar go back to the driver exactly as GetCommState gave them.
DCB renderDcb(const LineSettings& settings, DCB current);

}  // namespace kestrelgate::link
