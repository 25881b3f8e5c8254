#pragma once

#include <cstddef>
#include <string>

#include "console/console_platform.h"

namespace kestrelgate::console {

// Standard input is read in pieces of up to 511 bytes (fgets into a 512-byte buffer).

// The length of the piece in a buffer of `size` bytes that was zero before fgets filled it:
// up to its last non-zero byte, as fgets leaves no length behind.
std::size_t pieceLength(const char* buffer, int size);

// Reads one line: pieces are joined until an LF (a CR directly before it is dropped) or a CR
// ends the line. Returns false when the input had ended before any byte of the line, which the
// caller otherwise could not tell from an empty line.
bool readLineFrom(InputStream& stream, std::string& text);

}  // namespace kestrelgate::console
