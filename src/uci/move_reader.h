#pragma once

#include <deque>
#include <string>

#include "link/move_line.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// The chess computer's next move and the second move of the same move line.
struct MoveReply {
  std::string move;        // 3 or 4 characters, with a promotion's piece
  std::string secondMove;  // 0 to 4 characters
};

// A go waiting for its move: where the status lines read while it is served go, where its move
// goes, and the position the move is answered on.
class WaitingGo {
 public:
  virtual ~WaitingGo() = default;
  virtual void relay(const std::string& line) = 0;
  virtual void answer(const std::string& move) = 0;

  Position position;
};

// Turns what the chess computer prints into UCI moves, and deals them to the gos that ask, in
// the order they are printed: the first move of a line, then its second, then the next line,
// whichever process a go comes from. The port is read only while a go waits, one byte at a
// time; a status line goes to the first go waiting, as an "info string" line for its GUI. A
// move that no go is waiting for is kept for the next go that asks: so the second move of a
// line answers the next go at once, without a read, and bytes the chess computer sends while no
// go waits stay on the port.
class MoveReader {
 public:
  // A go asks for its move: answered at once from the moves kept, or it waits behind the gos
  // that asked before it.
  void ask(WaitingGo& go);
  // A go that waits no more: its GUI, or its process, has gone.
  void withdraw(WaitingGo& go);
  // Whether a go waits, and so the port is to be read.
  bool waiting() const { return !gos_.empty(); }
  bool isWaiting(const WaitingGo& go) const;

  // One byte from the port.
  void take(char byte);

  // A move dealt to a go whose GUI had gone before it could have it: the next go's.
  void giveBack(link::PrintedMove move);

  // The moves read and not dealt, in order, and the line read so far: what a process that
  // takes the port over goes on with.
  const std::deque<link::PrintedMove>& kept() const { return kept_; }
  const std::string& partialLine() const { return lines_.partialLine(); }
  // What another process had read before this one: it comes before anything read here.
  void keepBefore(std::size_t at, link::PrintedMove move);
  void partialBefore(const std::string& partial);

 private:
  // Hands the moves kept to the waiting gos in order.
  void deal();

  link::LineAssembler lines_;
  std::deque<link::PrintedMove> kept_;
  std::deque<WaitingGo*> gos_;
};

}  // namespace kestrelgate::uci
