// Arbitrary standard input: lines never hold an LF, and the bytes of all lines together with
// their line ends never outnumber the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "console/line_reader.h"

namespace {

class FuzzInput final : public kestrelgate::console::InputStream {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool getPiece(char* buffer, int size) override {
    if (position_ >= size_) return false;
    int n = 0;
    while (n < size - 1 && position_ < size_) {
      const char c = static_cast<char>(data_[position_++]);
      buffer[n++] = c;
      if (c == '\n') break;
    }
    buffer[n] = '\0';
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  std::string text;
  std::size_t total = 0;
  std::size_t lines = 0;
  while (kestrelgate::console::readLineFrom(input, text)) {
    if (text.find('\n') != std::string::npos) std::abort();
    total += text.size();
    if (++lines > size + 1) std::abort();
  }
  if (total > size || !text.empty()) std::abort();
  return 0;
}
