#include "link/move_line.h"

#include <string_view>
#include <utility>

#include "console/text.h"

namespace kestrelgate::link {
namespace {

std::string collapseBlanks(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out.push_back(c);
  }
  return out;
}

// The four characters at `at` as a move, and the promotion piece printed right after them,
// directly (b7a8R) or after "=" (d2c1=N). `end` is where the move and its piece end.
PrintedMove moveAt(std::string_view text, std::size_t at, std::size_t& end) {
  PrintedMove printed;
  if (at >= text.size()) {
    end = text.size();
    return printed;
  }
  printed.move = console::toLowerText(text.substr(at, 4));
  end = at + printed.move.size();
  const auto pieceAt = [&](std::size_t i) {
    if (i >= text.size()) return '\0';
    const char c = static_cast<char>(text[i] & ~0x20);
    return c == 'Q' || c == 'R' || c == 'B' || c == 'N' ? c : '\0';
  };
  if (printed.move.size() == 4) {
    if (const char piece = pieceAt(end)) {
      printed.piece = piece;
      end += 1;
    } else if (end < text.size() && text[end] == '=' && pieceAt(end + 1) != '\0') {
      printed.piece = pieceAt(end + 1);
      end += 2;
    }
  }
  return printed;
}

}  // namespace

LineVerdict judgeLine(const std::string& serialLine) {
  LineVerdict verdict;
  if (serialLine.size() >= 2 && console::isDigit(serialLine[0]) &&
      console::isDigit(serialLine[1])) {
    // The move number runs up to the first blank; the moves stand in fixed columns of what
    // follows. A line without a blank is its own remainder.
    const std::size_t blank = serialLine.find(' ');
    const std::size_t from = blank == std::string::npos ? 0 : blank + 1;
    const std::string remainder =
        collapseBlanks(console::trimBlanks(std::string_view(serialLine).substr(from)));
    std::size_t end = 0;
    verdict.first = moveAt(remainder, 0, end);
    if (verdict.first.piece != 0) {
      while (end < remainder.size() && remainder[end] == ' ') ++end;
      std::size_t ignored = 0;
      verdict.afterPiece = moveAt(remainder, end, ignored);
    }
    // Character 5 is the gap between the columns, whatever it holds.
    if (remainder.size() >= 6) verdict.second = moveAt(remainder, 5, end);
    verdict.kind = verdict.first.move.size() >= 3 ? LineKind::Move : LineKind::ShortMove;
  } else if (serialLine.size() >= 2) {
    verdict.kind = LineKind::Relayed;
  }
  return verdict;
}

bool LineAssembler::take(char got) {
  // Some machines send mark parity as an eighth data bit: only seven bits carry text.
  const char byte = static_cast<char>(static_cast<unsigned char>(got) & 0x7F);
  // Coordinate moves come as e2-e4 and captures as d4xe5; dropping "-" and "x" leaves the UCI
  // form. The chess computer ends its lines with CR LF.
  if (byte != '\r' && byte != '-' && byte != 'x') line_.push_back(byte);
  return byte == '\n';
}

std::string LineAssembler::takeLine() {
  if (!line_.empty() && line_.back() == '\n') line_.pop_back();
  std::string line = console::trimBlanks(line_);
  line_.clear();
  return line;
}

}  // namespace kestrelgate::link
