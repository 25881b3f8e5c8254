#include "console/line_reader.h"

#include <array>
#include <cstring>

namespace kestrelgate::console {

std::size_t pieceLength(const char* buffer, int size) {
  int last = size - 2;
  while (last >= 0 && buffer[last] == '\0') --last;
  return static_cast<std::size_t>(last + 1);
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
    const std::size_t used = pieceLength(buffer.data(), kPieceSize);
    std::size_t length = used;
    bool lineEnded = false;
    if (used > 0) {
      const char end = buffer[used - 1];
      if (end == '\n') {
        lineEnded = true;
        length = used - 1;
        if (length > 0 && buffer[length - 1] == '\r') --length;
      } else if (end == '\r') {
        lineEnded = true;
        length = used - 1;
      }
    }
    if (firstPiece) {
      text.assign(buffer.data(), length);
      firstPiece = false;
    } else {
      text.append(buffer.data(), length);
    }
    if (lineEnded) return true;
    std::memset(buffer.data(), 0, used);
  }
}

}  // namespace kestrelgate::console
