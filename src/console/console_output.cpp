#include "console/console_output.h"

namespace kestrelgate::console {

void ConsoleOutput::setUp() {
  if (setUp_) return;
  setUp_ = true;
  platform_.fetchHandles();
  ConsoleWindow window;
  if (!platform_.queryWindow(window)) window = ConsoleWindow{};
  // A pipe or a file has no window: stream mode, for the whole life of the process.
  const bool streamMode = window.left == window.right || window.top == window.bottom;
  screen_ = streamMode ? nullptr : platform_.screenWriter();
}

void ConsoleOutput::writeRequest(const char* data, std::size_t length) {
  setUp();
  if (screen_ != nullptr) {
    screen_->writeRequest(data, length);
    return;
  }
  // A pipe may take less than asked: carry on from where it stopped. A failed write (the GUI
  // closed its end) drops the rest of this request silently; the next request tries again.
  while (length > 0) {
    std::size_t written = 0;
    if (!platform_.writeOutput(data, length, written)) return;
    // A call that takes nothing would make no progress however often it was repeated.
    if (written == 0) return;
    if (written > length) written = length;
    data += written;
    length -= written;
  }
}

void ConsoleOutput::writeText(std::string_view text) {
  if (!text.empty()) writeRequest(text.data(), text.size());
}

void ConsoleOutput::writeLine(std::string_view text) {
  writeText(text);
  writeRequest("\r\n", 2);
}

}  // namespace kestrelgate::console
