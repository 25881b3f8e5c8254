#pragma once

#include <termios.h>

#include <optional>

#include "link/serial_device.h"

namespace kestrelgate::link {

// The line settings rendered into a termios record, starting from the port's `current` one so
// that what LineSettings does not name stays as the port had it. nullopt for settings termios
// cannot render.
//
// What termios renders differently from the neutral settings, and what is done instead:
// - Speed: only the rates termios names (50 to 921600 bit/s); any other rate is refused
//   rather than rounded.
// - Data bits 5 to 8 only; anything else is refused.
// - Mark and space parity need CMSPAR; without it they are refused.
// - One and a half stop bits: a UART sends 1.5 stop bits when asked for "two" with 5-bit
//   characters, so that combination maps to CSTOPB; with any other size it is refused, as a
//   16550 under Windows refuses it.
// - RTS handshake on input and CTS pacing of output are one flag here (CRTSCTS); it is set only
//   when output is to be paced by CTS. Otherwise RTS is simply raised (SerialDevice::setState
//   does it), which is what the chess computer sees of "raised while the receive queue has
//   room".
// - DTR has no mode in termios: the line is left as it is and raised once, at the end of the
//   configuration (SerialDevice::raiseDtr).
// - The binary flag (end-of-file character handling) and DSR sensitivity have no counterpart
//   and are not rendered; raw termios is binary, and the channel asks for no DSR sensitivity.
// - Read time-outs are VMIN and VTIME (given here as `vmin` and `vtime`): VMIN=1, VTIME=0 is
//   "wait for the first byte without limit, then return what is there", so waiting for the
//   chess computer costs no CPU.
std::optional<termios> renderTermios(const LineSettings& settings, termios current, cc_t vmin,
                                     cc_t vtime);

}  // namespace kestrelgate::link
