#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "console/wait.h"

namespace kestrelgate::console {

// The console window as the screen buffer reports it. All zero for a pipe or a file.
struct ConsoleWindow {
  std::int16_t left = 0;
  std::int16_t top = 0;
  std::int16_t right = 0;
  std::int16_t bottom = 0;
};

// Draws output into a console window's screen buffer itself (screen mode). Only platforms with
// a console screen buffer have one.
class ScreenWriter {
 public:
  virtual ~ScreenWriter() = default;
  // One write request: the bytes, rendered with the console's control-byte rules.
  virtual void writeRequest(const char* data, std::size_t length) = 0;
};

// Standard input as the C runtime's stream, read in fgets-sized pieces.
class InputStream {
 public:
  virtual ~InputStream() = default;
  // fgets semantics: at most size - 1 bytes, ending after an LF if one comes first, then a
  // zero byte. False at the end of input or on a read error. A CR LF pair reaches the caller
  // as a single LF, as a text-mode stream delivers it.
  virtual bool getPiece(char* buffer, int size) = 0;
  // Ready when getPiece will not wait for its first byte: bytes are there, or the end is.
  virtual Waitable ready() { return {-1, Waitable::Kind::Always}; }
};

// What the console channel needs of the operating system.
class ConsolePlatform {
 public:
  virtual ~ConsolePlatform() = default;

  // Fetches the standard handles and adds the processed-input bit to an interactive console's
  // input mode, so that Ctrl+C stays an interrupt rather than a character.
  virtual void fetchHandles() = 0;

  // The console window of standard output; false when it is no console (a pipe or a file).
  virtual bool queryWindow(ConsoleWindow& window) = 0;

  // One write call on standard output. False on failure; `written` is what was taken.
  virtual bool writeOutput(const char* data, std::size_t length, std::size_t& written) = 0;

  // The screen-mode renderer, or nullptr where the platform has no console screen buffer.
  virtual ScreenWriter* screenWriter() { return nullptr; }

  // The process's standard input stream.
  virtual InputStream& standardInput() = 0;

  // Waits up to `milliseconds`, using no CPU, and is true as soon as the other end of standard
  // input has closed it: the GUI has gone. Unread input does not end the wait, and where the
  // input cannot tell (a file, a console) the wait simply runs out.
  virtual bool waitForInputHangUp(std::uint32_t milliseconds) = 0;

  // Ready once nobody reads standard output any more: the GUI has gone (a script that has only
  // closed our input still reads the answers). Never ready where the output cannot tell (a
  // file, the null device).
  virtual Waitable outputGone() = 0;
};

// A C runtime stream read as a text-mode line source (defined by the backend file).
std::unique_ptr<InputStream> makeTextInput(std::FILE* stream);

// The platform's real console, defined by the platform's backend file.
ConsolePlatform& systemConsolePlatform();

}  // namespace kestrelgate::console
