#pragma once

#include <deque>
#include <string>

#include "link/move_line.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// What has been read from the chess computer and not dealt yet: the moves, in the order
// printed, and the line read so far. What a process that takes the port over goes on with.
struct Stock {
  std::deque<link::PrintedMove> moves;
  std::string partial;
};

// A go waiting for its move: where the status lines read while it is served go, where its move
// goes, and the position the move is answered on.
class WaitingGo {
 public:
  virtual ~WaitingGo() = default;
  virtual void relay(const std::string& line) = 0;
  // False when the move could not reach the go's GUI: then it is the next go's.
  virtual bool answer(const std::string& move) = 0;

  Position position;
};

// Turns what the chess computer prints into UCI moves, and deals them to the gos that ask, in
// the order they are printed: the first move of a line, then its second, then the next line,
// whichever process a go comes from. The port is read only while a go waits, one byte at a
// time; a status line goes to the first go waiting, as an "info string" line for its GUI. A
// move that no go is waiting for is a pending reply, stored for the next go that asks: so the
// second move of a line answers the next go at once, without a read, and bytes the chess
// computer sends while no go waits stay on the port.
class MoveReader {
 public:
  // A go asks for its move: answered at once from a stored reply, or it waits behind the gos
  // that asked before it.
  void ask(WaitingGo& go);
  // A go that waits no more: its GUI, or its process, has gone.
  void withdraw(WaitingGo& go);
  // Whether a go waits, and so the port is to be read.
  bool waiting() const { return !gos_.empty(); }
  bool isWaiting(const WaitingGo& go) const;

  // One byte from the port.
  void take(char byte);

  // Whether a move read waits for the next go, and the first such.
  bool pendingReply() const { return !storedReplies_.empty(); }
  const link::PrintedMove& storedReply() const { return storedReplies_.front(); }

  // A move dealt to a go whose GUI had gone before it could have it: the next go's.
  void giveBack(link::PrintedMove move);

  // What has been read and not dealt.
  Stock stock() const;
  // What another process had read before this one: it comes before anything read here.
  void takeIn(Stock earlier);

 private:
  // Hands the stored replies to the waiting gos in order.
  void deal();

  link::LineAssembler lines_;
  std::deque<link::PrintedMove> storedReplies_;
  std::deque<WaitingGo*> gos_;
};

}  // namespace kestrelgate::uci
