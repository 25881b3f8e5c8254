// The console on Win32: the standard handles, WriteFile for stream mode, the screen-buffer
// calls for screen mode, and standard input through the C runtime's text-mode stream.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "console/background_read_win32.h"
#include "console/console_platform.h"
#include "console/screen_renderer.h"

namespace kestrelgate::console {
namespace {

// The runtime's default text mode already folds each CR LF pair into an LF, wherever the
// pieces fall, so fgets is all there is to it. A pipe cannot be waited on: where a piece has to
// be waited for beside other things, it is read on a thread of its own.
class TextStream final : public InputStream {
 public:
  explicit TextStream(std::FILE* stream) : stream_(stream) {}

  bool getPiece(char* buffer, int size) override {
    if (!background_.started()) return std::fgets(buffer, size, stream_) != nullptr;
    background_.collect();
    const int count = size < kPiece ? size : kPiece;
    for (int i = 0; i < count; ++i) buffer[i] = background_.buffer[i];
    return background_.ok;
  }

  Waitable ready() override {
    // Bytes in the pipe already are read at once, without the thread.
    DWORD available = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!background_.started() && GetFileType(input) == FILE_TYPE_PIPE &&
        PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      return {-1, Waitable::Kind::Always};
    }
    if (!background_.started()) {
      background_.start([this] {
        for (char& c : background_.buffer) c = '\0';
        background_.ok = std::fgets(background_.buffer, kPiece, stream_) != nullptr;
      });
    }
    return {reinterpret_cast<std::intptr_t>(background_.done()), Waitable::Kind::Object};
  }

 private:
  static constexpr int kPiece = sizeof(BackgroundRead::buffer);
  std::FILE* stream_;
  BackgroundRead background_;
};

SHORT toShort(int value) {
  return static_cast<SHORT>(value);
}

// The screen buffer behind standard output, one console call per operation.
class Win32ScreenBuffer final : public ScreenBuffer {
 public:
  void bind(HANDLE output) { output_ = output; }

  bool query(ScreenInfo& info) override {
    CONSOLE_SCREEN_BUFFER_INFO csbi{};
    if (!GetConsoleScreenBufferInfo(output_, &csbi)) return false;
    info.cursorColumn = csbi.dwCursorPosition.X;
    info.cursorRow = csbi.dwCursorPosition.Y;
    info.width = csbi.dwSize.X;
    info.height = csbi.dwSize.Y;
    info.attribute = csbi.wAttributes;
    info.windowTop = csbi.srWindow.Top;
    info.windowBottom = csbi.srWindow.Bottom;
    return true;
  }

  void writeCells(int column, int row, const char* chars, std::size_t count,
                  std::uint16_t attribute) override {
    cells_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      cells_[i].Char.AsciiChar = chars[i];
      cells_[i].Attributes = attribute;
    }
    const COORD size{toShort(static_cast<int>(count)), 1};
    const COORD origin{0, 0};
    SMALL_RECT region{toShort(column), toShort(row), toShort(column + static_cast<int>(count) - 1),
                      toShort(row)};
    WriteConsoleOutputA(output_, cells_.data(), size, origin, &region);
  }

  void scrollUp(int rows, std::uint16_t attribute) override {
    CONSOLE_SCREEN_BUFFER_INFO csbi{};
    if (!GetConsoleScreenBufferInfo(output_, &csbi)) return;
    // The rows from `rows` down move to the top; the rows they leave at the bottom get the
    // fill. Naming the whole buffer as the source and a destination above row 0 gives the same
    // picture on Windows, but wine refuses a destination outside the buffer.
    const SMALL_RECT below{0, toShort(rows), toShort(csbi.dwSize.X - 1),
                           toShort(csbi.dwSize.Y - 1)};
    const COORD destination{0, 0};
    CHAR_INFO blank{};
    blank.Char.AsciiChar = ' ';
    blank.Attributes = attribute;
    ScrollConsoleScreenBufferA(output_, &below, nullptr, destination, &blank);
  }

  void fillBlank(int firstRow, int lastRow, std::uint16_t attribute) override {
    CONSOLE_SCREEN_BUFFER_INFO csbi{};
    if (!GetConsoleScreenBufferInfo(output_, &csbi)) return;
    const DWORD cells =
        static_cast<DWORD>(csbi.dwSize.X) * static_cast<DWORD>(lastRow - firstRow + 1);
    const COORD start{0, toShort(firstRow)};
    DWORD done = 0;
    FillConsoleOutputCharacterA(output_, ' ', cells, start, &done);
    FillConsoleOutputAttribute(output_, attribute, cells, start, &done);
  }

  void setWindowRows(int top, int bottom) override {
    CONSOLE_SCREEN_BUFFER_INFO csbi{};
    if (!GetConsoleScreenBufferInfo(output_, &csbi)) return;
    // Only the rows change; the window keeps its columns.
    const SMALL_RECT window{csbi.srWindow.Left, toShort(top), csbi.srWindow.Right, toShort(bottom)};
    SetConsoleWindowInfo(output_, TRUE, &window);
  }

  void setCursor(int column, int row) override {
    SetConsoleCursorPosition(output_, COORD{toShort(column), toShort(row)});
  }

  void beep(unsigned frequency, unsigned milliseconds) override { Beep(frequency, milliseconds); }

 private:
  HANDLE output_ = nullptr;
  std::vector<CHAR_INFO> cells_;
};

class Win32Console final : public ConsolePlatform {
 public:
  void fetchHandles() override {
    input_ = GetStdHandle(STD_INPUT_HANDLE);
    output_ = GetStdHandle(STD_OUTPUT_HANDLE);
    screen_.bind(output_);
    DWORD mode = 0;
    // Only a console has a mode; a pipe fails GetConsoleMode and is left alone. The bit
    // stays set after we end: it is what the console had by default anyway.
    if (input_ != nullptr && GetConsoleMode(input_, &mode)) {
      SetConsoleMode(input_, mode | ENABLE_PROCESSED_INPUT);
    }
  }

  bool queryWindow(ConsoleWindow& window) override {
    CONSOLE_SCREEN_BUFFER_INFO csbi{};
    if (!GetConsoleScreenBufferInfo(output_, &csbi)) return false;
    window.left = 0;
    window.top = csbi.srWindow.Top;
    window.right = static_cast<std::int16_t>(csbi.dwSize.X - 1);
    window.bottom = csbi.srWindow.Bottom;
    return true;
  }

  bool writeOutput(const char* data, std::size_t length, std::size_t& written) override {
    DWORD n = 0;
    const DWORD ask = length > 0x7fffffffu ? 0x7fffffffu : static_cast<DWORD>(length);
    const BOOL ok = WriteFile(output_, data, ask, &n, nullptr);
    written = ok ? n : 0;
    return ok != FALSE;
  }

  ScreenWriter* screenWriter() override { return &renderer_; }

  InputStream& standardInput() override { return stdin_; }

  // A pipe's writing end cannot be waited on for its reader going away, but the process that
  // made the pipe can: the GUI, which keeps the reading end. Once it has ended, nobody reads our
  // output any more. Where that process cannot be told (a console, a file, a pipe wine makes of
  // a Unix one), the output is never seen to go.
  Waitable outputGone() override {
    if (!guiLooked_) {
      guiLooked_ = true;
      const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
      ULONG maker = 0;
      if (output != nullptr && output != INVALID_HANDLE_VALUE &&
          GetFileType(output) == FILE_TYPE_PIPE && GetNamedPipeServerProcessId(output, &maker) &&
          maker != 0 && maker != GetCurrentProcessId()) {
        gui_ = OpenProcess(SYNCHRONIZE, FALSE, maker);
      }
    }
    if (gui_ == nullptr) return {};
    return {reinterpret_cast<std::intptr_t>(gui_), Waitable::Kind::Object};
  }

  bool waitForInputHangUp(std::uint32_t milliseconds) override {
    // Only a pipe can say that its writer has gone: PeekNamedPipe then fails with
    // ERROR_BROKEN_PIPE once the bytes still in it have been read.
    if (input_ != nullptr && input_ != INVALID_HANDLE_VALUE &&
        GetFileType(input_) == FILE_TYPE_PIPE) {
      DWORD available = 0;
      if (!PeekNamedPipe(input_, nullptr, 0, nullptr, &available, nullptr) &&
          GetLastError() == ERROR_BROKEN_PIPE) {
        return true;
      }
    }
    Sleep(milliseconds);
    return false;
  }

 private:
  HANDLE input_ = nullptr;
  HANDLE output_ = nullptr;
  bool guiLooked_ = false;
  HANDLE gui_ = nullptr;
  Win32ScreenBuffer screen_;
  ScreenRenderer renderer_{screen_};
  TextStream stdin_{stdin};
};

}  // namespace

std::unique_ptr<InputStream> makeTextInput(std::FILE* stream) {
  return std::make_unique<TextStream>(stream);
}

ConsolePlatform& systemConsolePlatform() {
  static Win32Console console;
  return console;
}

}  // namespace kestrelgate::console
