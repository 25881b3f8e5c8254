#include "uci/move_reader.h"

#include <algorithm>
#include <utility>

namespace kestrelgate::uci {

void MoveReader::ask(WaitingGo& go) {
  if (!isWaiting(go)) gos_.push_back(&go);
  deal();
}

void MoveReader::withdraw(WaitingGo& go) {
  gos_.erase(std::remove(gos_.begin(), gos_.end(), &go), gos_.end());
}

bool MoveReader::isWaiting(const WaitingGo& go) const {
  return std::find(gos_.begin(), gos_.end(), &go) != gos_.end();
}

void MoveReader::deal() {
  while (!kept_.empty() && !gos_.empty()) {
    WaitingGo* go = gos_.front();
    gos_.pop_front();
    const link::PrintedMove move = std::move(kept_.front());
    kept_.pop_front();
    go->answer(answerFor(move, go->position));
  }
}

void MoveReader::take(char byte) {
  if (!lines_.take(byte)) return;
  const std::string line = lines_.takeLine();
  const link::LineVerdict verdict = link::judgeLine(line);
  // The port is read only for a go, so there is one to serve.
  WaitingGo* served = gos_.empty() ? nullptr : gos_.front();
  switch (verdict.kind) {
    case link::LineKind::Move: {
      kept_.push_back(verdict.first);
      // A promotion printed with its piece has the line's other move after the piece, where the
      // go the line is read for has the pawn there.
      const bool promoted = verdict.first.piece != 0 && served != nullptr &&
                            served->position.promotes(verdict.first.move);
      const link::PrintedMove& second = promoted ? verdict.afterPiece : verdict.second;
      // A second move under three characters is no move (a line with one move only).
      if (second.move.size() >= 3) kept_.push_back(second);
      deal();
      break;
    }
    case link::LineKind::Relayed:
      if (served != nullptr) served->relay(line);
      break;
    case link::LineKind::ShortMove:
    case link::LineKind::Dropped:
      break;
  }
}

void MoveReader::giveBack(link::PrintedMove move) {
  kept_.push_front(std::move(move));
  deal();
}

void MoveReader::keepBefore(std::size_t at, link::PrintedMove move) {
  kept_.insert(kept_.begin() + static_cast<std::ptrdiff_t>(std::min(at, kept_.size())),
               std::move(move));
  deal();
}

void MoveReader::partialBefore(const std::string& partial) {
  lines_.resumeLine(partial + lines_.partialLine());
}

}  // namespace kestrelgate::uci
