#pragma once

#include <cstddef>
#include <string_view>

#include "console/console_platform.h"

namespace kestrelgate::console {

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

  // The one-time set-up of the handles and the output mode, at the first write or the first
  // read from the chess computer, whichever comes first; later calls do nothing.
  void setUp();

  bool isSetUp() const { return setUp_; }
  bool inScreenMode() const { return screen_ != nullptr; }

 private:
  void writeRequest(const char* data, std::size_t length);

  ConsolePlatform& platform_;
  bool setUp_ = false;
  ScreenWriter* screen_ = nullptr;
};

}  // namespace kestrelgate::console
