#pragma once

#include <functional>
#include <optional>
#include <string>

#include "console/console_output.h"
#include "uci/move_reader.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// The conversation with the GUI: answers "uci", "isready" and every "go", ends at "quit".
class UciLoop {
 public:
  // One command line into the text; false once the input has ended with nothing to deliver.
  using CommandSource = std::function<bool(std::string&)>;
  // The chess computer's next move, answered as the GUI's position (as its last "position"
  // command left it) wants it; the loop keeps a second move for the following "go" (a source
  // that deals second moves itself, to whichever go comes next, leaves it empty). Nothing when
  // the GUI has gone while the move was awaited: the loop then ends.
  using MoveSource = std::function<std::optional<MoveReply>(const Position&)>;

  UciLoop(CommandSource commands, console::LineOutput& output, MoveSource moves);

  // Returns after "quit", or when the GUI has closed our input.
  void runCommandLoop();

 private:
  CommandSource commands_;
  console::LineOutput& output_;
  MoveSource moves_;
  bool pendingReply_ = false;
  std::string storedReply_;
  Position position_;
};

}  // namespace kestrelgate::uci
