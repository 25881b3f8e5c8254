#include "console/console_channel.h"

#include <array>
#include <cstring>
#include <memory>

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

void ConsoleOutput::reset() {
  setUp_ = false;
  screen_ = nullptr;
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

bool readLineFrom(InputStream& stream, std::string& text) {
  constexpr int kPieceSize = 512;
  std::array<char, kPieceSize> buffer{};
  bool firstPiece = true;
  for (;;) {
    if (!stream.getPiece(buffer.data(), kPieceSize)) {
      if (firstPiece) {
        text.clear();
        return false;
      }
      return true;
    }
    // The piece's end is its last non-zero byte: fgets leaves no length behind, and the
    // buffer is zero wherever the piece did not reach.
    int last = kPieceSize - 2;
    while (last >= 0 && buffer[static_cast<std::size_t>(last)] == '\0') --last;
    std::size_t pieceLength = static_cast<std::size_t>(last + 1);
    bool lineEnded = false;
    if (last >= 0) {
      const char end = buffer[static_cast<std::size_t>(last)];
      if (end == '\n') {
        lineEnded = true;
        pieceLength = static_cast<std::size_t>(last);
        if (last > 0 && buffer[static_cast<std::size_t>(last - 1)] == '\r') --pieceLength;
      } else if (end == '\r') {
        lineEnded = true;
        pieceLength = static_cast<std::size_t>(last);
      }
    }
    if (firstPiece) {
      text.assign(buffer.data(), pieceLength);
      firstPiece = false;
    } else {
      text.append(buffer.data(), pieceLength);
    }
    if (lineEnded) return true;
    std::memset(buffer.data(), 0, static_cast<std::size_t>(last + 1));
  }
}

IoResult ConsoleChannel::close() {
  // Standard input belongs to the process: the channel only lets go of it.
  stream_ = nullptr;
  return IoResult::Ok;
}

IoResult ConsoleChannel::readLine(std::string& text) {
  if (stream_ == nullptr) return IoResult::IllegalRequest;
  if (!readLineFrom(*stream_, text)) inputEnded_ = true;
  return IoResult::Ok;
}

ConsoleOutput& standardOutput() {
  static ConsoleOutput output(systemConsolePlatform());
  return output;
}

void setUpConsole() { standardOutput().setUp(); }
void writeText(std::string_view text) { standardOutput().writeText(text); }
void writeLine(std::string_view text) { standardOutput().writeLine(text); }

IoResult openConsole(int channel, ConsoleMode mode) {
  ChannelTable& table = channelTable();
  if (table.checkFree(channel) != IoResult::Ok) return IoResult::IllegalRequest;
  // Output and append modes name standard output, but a read from them reads standard input
  // all the same; the program itself only ever opens the console for input.
  return table.install(channel, std::make_unique<ConsoleChannel>(
                                    mode, systemConsolePlatform().standardInput()));
}

IoResult readLine(int channel, std::string& text) {
  auto* console = dynamic_cast<ConsoleChannel*>(channelTable().find(channel));
  if (console == nullptr) return IoResult::IllegalRequest;
  return console->readLine(text);
}

bool inputEnded(int channel) {
  auto* console = dynamic_cast<ConsoleChannel*>(channelTable().find(channel));
  return console != nullptr && console->inputEnded();
}

bool waitForInputHangUp(std::uint32_t milliseconds) {
  return systemConsolePlatform().waitForInputHangUp(milliseconds);
}

}  // namespace kestrelgate::console
