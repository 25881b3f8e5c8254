#pragma once

#include <functional>
#include <optional>
#include <string>

#include "console/console_output.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// The conversation with the GUI: answers "uci", "isready" and every "go", follows the GUI's
// "position" and the one option it acts on, ends at "quit".
class UciLoop {
 public:
  // One command line into the text; false once the input has ended with nothing to deliver.
  using CommandSource = std::function<bool(std::string&)>;
  // The move for a "go": the chess computer's next one, answered as the GUI's position (as its
  // last "position" command left it) wants it; a second move of the same line is the source's
  // pending reply for the next "go". Nothing when the GUI has gone while the move was awaited:
  // the loop then ends.
  using MoveSource = std::function<std::optional<std::string>(const Position&)>;

  UciLoop(CommandSource commands, console::LineOutput& output, MoveSource moves);

  // Returns after "quit", or when the GUI has closed our input.
  void runCommandLoop();

 private:
  CommandSource commands_;
  console::LineOutput& output_;
  MoveSource moves_;
  // setoption for MoveAsPv: an info line with the move as its principal variation before each
  // bestmove, for the GUIs that play the pv's move.
  void setOption(const std::string& command);

  Position position_;
  bool moveAsPv_ = false;
};

}  // namespace kestrelgate::uci
