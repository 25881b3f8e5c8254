#include "uci/move_reader.h"

#include <utility>

#include "console/text.h"

namespace kestrelgate::uci {

MoveReader::MoveReader(ByteSource source, console::LineOutput& output, Pause pause)
    : source_(std::move(source)), output_(output), pause_(std::move(pause)) {}

std::optional<std::string> MoveReader::readSerialLine() {
  // A reading that stops part way keeps what it read of the line for the next one: those bytes
  // have left the port, and the line is still the chess computer's.
  std::string& serialLine = partialLine_;
  for (;;) {
    const std::string got = source_();
    if (got.empty()) {
      if (pause_ && !pause_()) return std::nullopt;
      continue;
    }
    // Some machines send mark parity as an eighth data bit: only seven bits carry text.
    const char byte = static_cast<char>(static_cast<unsigned char>(got[0]) & 0x7F);
    // Coordinate moves come as e2-e4 and captures as d4xe5; dropping "-" and "x" leaves the
    // UCI form. The chess computer ends its lines with CR LF.
    if (byte != '\r' && byte != '-' && byte != 'x') serialLine.push_back(byte);
    if (byte == '\n') break;
  }
  if (!serialLine.empty() && serialLine.back() == '\n') serialLine.pop_back();
  std::string line = console::trimBlanks(serialLine);
  serialLine.clear();
  return line;
}

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
    verdict.reply.move = console::toLowerText(std::string_view(remainder).substr(0, 4));
    if (remainder.size() >= 6) {
      verdict.reply.secondMove = console::toLowerText(std::string_view(remainder).substr(5, 4));
    }
    verdict.kind = verdict.reply.move.size() >= 3 ? LineKind::Move : LineKind::ShortMove;
  } else if (serialLine.size() >= 2) {
    verdict.kind = LineKind::Relayed;
  }
  return verdict;
}

std::optional<MoveReply> MoveReader::readMove() {
  for (;;) {
    const std::optional<std::string> line = readSerialLine();
    if (!line) return std::nullopt;
    LineVerdict verdict = judgeLine(*line);
    switch (verdict.kind) {
      case LineKind::Move:
        return std::move(verdict.reply);
      case LineKind::Relayed:
        output_.writeText("info string ");
        output_.writeLine(*line);
        break;
      case LineKind::ShortMove:
      case LineKind::Dropped:
        break;
    }
  }
}

}  // namespace kestrelgate::uci
