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
  while (pendingReply() && !gos_.empty()) {
    WaitingGo* go = gos_.front();
    gos_.pop_front();
    link::PrintedMove move = storedReply();
    storedReplies_.pop_front();
    // One that never reached its go stays first, for the next.
    if (!go->answer(answerFor(move, go->position))) storedReplies_.push_front(std::move(move));
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
      storedReplies_.push_back(verdict.first);
      // A promotion printed with its piece has the line's other move after the piece, where the
      // go the line is read for has the pawn there.
      const bool promoted = verdict.first.piece != 0 && served != nullptr &&
                            served->position.promotes(verdict.first.move);
      const link::PrintedMove& second = promoted ? verdict.afterPiece : verdict.second;
      // A second move under three characters is no move (a line with one move only).
      if (second.move.size() >= 3) storedReplies_.push_back(second);
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
  storedReplies_.push_front(std::move(move));
  deal();
}

Stock MoveReader::stock() const {
  return {storedReplies_, lines_.partialLine()};
}

void MoveReader::takeIn(Stock earlier) {
  storedReplies_.insert(storedReplies_.begin(), std::make_move_iterator(earlier.moves.begin()),
                        std::make_move_iterator(earlier.moves.end()));
  lines_.resumeLine(std::move(earlier.partial) + lines_.partialLine());
  deal();
}

}  // namespace kestrelgate::uci
