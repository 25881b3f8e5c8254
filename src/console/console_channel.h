#pragma once

#include <string>
#include <string_view>

#include "console/channel_table.h"
#include "console/console_platform.h"
#include "console/io_result.h"

namespace kestrelgate::console {

enum class ConsoleMode { Input, Output, Append };

// Where replies go. The console's output side is one; tests record into another.
class LineOutput {
 public:
  virtual ~LineOutput() = default;
  // The bytes of the text alone; an empty text writes nothing.
  virtual void writeText(std::string_view text) = 0;
  // The text, then CR LF, as two separate write requests.
  virtual void writeLine(std::string_view text) = 0;
};

// The output side of the console: channel 0, never opened or closed. Every text and every line
// end goes out in its own write request at once; nothing is buffered, so there is no flush.
class ConsoleOutput final : public LineOutput {
 public:
  explicit ConsoleOutput(ConsolePlatform& platform) : platform_(platform) {}

  void writeText(std::string_view text) override;
  void writeLine(std::string_view text) override;

  // The one-time set-up of the handles and the output mode; later calls do nothing.
  void setUp();
  // Forgets the set-up, as a new process starts without it.
  void reset();

  bool isSetUp() const { return setUp_; }
  bool inScreenMode() const { return screen_ != nullptr; }

 private:
  void writeRequest(const char* data, std::size_t length);

  ConsolePlatform& platform_;
  bool setUp_ = false;
  ScreenWriter* screen_ = nullptr;
};

// Reads one line: pieces of up to 511 bytes are joined until an LF (a CR directly before it is
// dropped) or a CR ends the line. Returns false when the input had ended before any byte of the
// line, which the caller otherwise could not tell from an empty line.
bool readLineFrom(InputStream& stream, std::string& text);

// The input side of the console, one slot of the channel table.
class ConsoleChannel final : public Channel {
 public:
  ConsoleChannel(ConsoleMode mode, InputStream& stream) : mode_(mode), stream_(&stream) {}

  IoResult close() override;
  IoResult readLine(std::string& text) override;

  ConsoleMode mode() const { return mode_; }
  bool inputEnded() const { return inputEnded_; }

 private:
  ConsoleMode mode_;
  InputStream* stream_;
  bool inputEnded_ = false;
};

// The process-wide console output, on the platform's real console.
ConsoleOutput& standardOutput();

void setUpConsole();
void writeText(std::string_view text);
void writeLine(std::string_view text);

// Binds a slot to standard input. IllegalRequest for a bad number or a slot in use.
IoResult openConsole(int channel, ConsoleMode mode);
// One line of standard input into `text`; IllegalRequest (text unchanged) for a slot that holds
// no console channel.
IoResult readLine(int channel, std::string& text);
// True once a read on the console channel found the input at its end with nothing to deliver.
bool inputEnded(int channel);
// Waits up to `milliseconds`; true as soon as the GUI has closed our standard input.
bool waitForInputHangUp(std::uint32_t milliseconds);

}  // namespace kestrelgate::console
