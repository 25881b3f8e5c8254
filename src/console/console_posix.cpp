// The console on POSIX: standard input through the C runtime's stream, output with write(2)
// on descriptor 1. There is no console screen buffer here, so output always runs in stream
// mode and the terminal does its own wrapping, scrolling and bell.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "console/console_platform.h"
#include "console/line_reader.h"

namespace kestrelgate::console {
namespace {

// fgets on stdin, with the one thing a Windows text-mode stream does for us that POSIX does
// not: a CR LF pair arrives as a single LF, however the 512-byte pieces fall.
class TextStream final : public InputStream {
 public:
  explicit TextStream(std::FILE* stream) : stream_(stream) {}

  bool getPiece(char* buffer, int size) override {
    if (std::fgets(buffer, size, stream_) == nullptr) return false;
    const int last = static_cast<int>(pieceLength(buffer, size)) - 1;
    if (last < 0) return true;
    if (buffer[last] == '\n' && last > 0 && buffer[last - 1] == '\r') {
      buffer[last - 1] = '\n';
      buffer[last] = '\0';
    } else if (buffer[last] == '\r' && last == size - 2) {
      // The piece is full and ends in CR: if its LF is next, take it now, so that the pair
      // ends this line and no empty line follows.
      const int next = std::getc(stream_);
      if (next == '\n') {
        buffer[last] = '\n';
      } else if (next != EOF) {
        std::ungetc(next, stream_);
      }
    }
    return true;
  }

  Waitable ready() override {
    // fgets takes what the stream has buffered first; only an empty buffer waits on the
    // descriptor. The C library's stream keeps its buffer in the FILE, which glibc lays open.
#if defined(__GLIBC__)
    if (stream_->_IO_read_ptr < stream_->_IO_read_end) return {-1, Waitable::Kind::Always};
    return {fileno(stream_), Waitable::Kind::Input};
#else
    return {-1, Waitable::Kind::Always};
#endif
  }

 private:
  std::FILE* stream_;
};

class PosixConsole final : public ConsolePlatform {
 public:
  void fetchHandles() override {}

  bool queryWindow(ConsoleWindow&) override { return false; }

  bool writeOutput(const char* data, std::size_t length, std::size_t& written) override {
    for (;;) {
      const ssize_t n = ::write(STDOUT_FILENO, data, length);
      if (n >= 0) {
        written = static_cast<std::size_t>(n);
        return true;
      }
      if (errno != EINTR) {
        written = 0;
        return false;
      }
    }
  }

  InputStream& standardInput() override { return stdin_; }

  Waitable outputGone() override { return {STDOUT_FILENO, Waitable::Kind::Gone}; }

  bool waitForInputHangUp(std::uint32_t milliseconds) override {
    // No events asked for: poll then reports only a hang-up or an error, so waiting input
    // does not end the wait early. A pipe whose writer has closed reports POLLHUP; a closed
    // descriptor (POLLNVAL) has no GUI behind it either, and would not let poll wait at all.
    pollfd watched{STDIN_FILENO, 0, 0};
    const int timeout = milliseconds > 60000 ? 60000 : static_cast<int>(milliseconds);
    const int ready = ::poll(&watched, 1, timeout);
    return ready == 1 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }

 private:
  TextStream stdin_{stdin};
};

}  // namespace

std::unique_ptr<InputStream> makeTextInput(std::FILE* stream) {
  return std::make_unique<TextStream>(stream);
}

ConsolePlatform& systemConsolePlatform() {
  static PosixConsole console;
  return console;
}

}  // namespace kestrelgate::console
