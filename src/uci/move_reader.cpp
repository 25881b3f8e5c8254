#include "uci/move_reader.h"

#include <utility>

namespace kestrelgate::uci {

MoveReader::MoveReader(ByteSource source, console::LineOutput& output, Pause pause)
    : source_(std::move(source)), output_(output), pause_(std::move(pause)) {}

std::optional<std::string> MoveReader::readSerialLine() {
  // A reading that stops part way keeps what it read of the line for the next one: those bytes
  // have left the port, and the line is still the chess computer's.
  for (;;) {
    const std::string got = source_();
    if (got.empty()) {
      if (pause_ && !pause_()) return std::nullopt;
      continue;
    }
    if (lines_.take(got[0])) return lines_.takeLine();
  }
}

std::optional<MoveReply> MoveReader::readMove() {
  for (;;) {
    const std::optional<std::string> line = readSerialLine();
    if (!line) return std::nullopt;
    const link::LineVerdict verdict = link::judgeLine(*line);
    switch (verdict.kind) {
      case link::LineKind::Move:
        return MoveReply{verdict.first.move, verdict.second.move};
      case link::LineKind::Relayed:
        output_.writeText("info string ");
        output_.writeLine(*line);
        break;
      case link::LineKind::ShortMove:
      case link::LineKind::Dropped:
        break;
    }
  }
}

}  // namespace kestrelgate::uci
