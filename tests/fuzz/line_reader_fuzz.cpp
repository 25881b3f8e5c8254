// Standard input as the GUI might send it: the line reader against a plain model of its rules.
// Both must cut the same input into the same texts, and the end of input, once reached, stays.
//
// The model's rules, as the runtime's fgets hands the input over: a piece is at most 511 bytes
// and ends after an LF if one comes first. A piece's NUL bytes at its end do not count. A piece
// whose last counting byte is an LF ends the line (the LF, and a CR just before it, are not
// text); one whose last counting byte is a CR ends the line as well (the CR is not text);
// any other piece is text, and the line goes on in the next piece.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/line_reader.h"

namespace {

// fgets over the fuzzer's bytes: at most size - 1 bytes, ending after an LF, then a NUL.
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

std::vector<std::string> model(const std::string& input) {
  // First the pieces, as fgets would hand them out.
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : input) {
    piece += c;
    if (c == '\n' || piece.size() == 511) {
      pieces.push_back(piece);
      piece.clear();
    }
  }
  if (!piece.empty()) pieces.push_back(piece);

  std::vector<std::string> lines;
  std::string line;
  bool open = false;  // some piece of the current line has been taken
  for (std::string p : pieces) {
    open = true;
    while (!p.empty() && p.back() == '\0') p.pop_back();
    bool ends = false;
    if (!p.empty() && p.back() == '\n') {
      p.pop_back();
      if (!p.empty() && p.back() == '\r') p.pop_back();
      ends = true;
    } else if (!p.empty() && p.back() == '\r') {
      p.pop_back();
      ends = true;
    }
    line += p;
    if (ends) {
      lines.push_back(line);
      line.clear();
      open = false;
    }
  }
  if (open) lines.push_back(line);  // the input ended inside a line
  return lines;
}

[[noreturn]] void differ(const char* what, std::size_t line) {
  std::fprintf(stderr, "model: %s at line %zu\n", what, line);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> expected =
      model(std::string(reinterpret_cast<const char*>(data), size));
  FuzzInput input(data, size);
  std::string text;
  std::size_t line = 0;
  while (kestrelgate::console::readLineFrom(input, text)) {
    if (line >= expected.size()) differ("a line too many", line);
    if (text != expected[line]) differ("the text differs", line);
    ++line;
  }
  if (line != expected.size()) differ("the input ended early", line);
  if (!text.empty()) differ("the end of input gave a text", line);
  text = "kept?";
  if (kestrelgate::console::readLineFrom(input, text) || !text.empty()) {
    differ("the end of input did not stay", line);
  }
  return 0;
}
